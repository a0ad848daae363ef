// The POSIX entry point hands the launcher's argument vector to the backend,
// which passes it on to the child unchanged.
#pragma once

namespace platform {
void keep_arguments(int argc, char** argv);
}

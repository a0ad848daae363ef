// The demo application: shows what a child started by a launcher receives.
#include <cstdio>
#include <cstdlib>

static const char* variable(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "(not set)";
}

int main(int argc, char** argv) {
  printf("Hello from the unpacked application.\n");
  printf("  first argument (the launcher): %s\n", argc > 0 ? argv[0] : "?");
  for (int i = 1; i < argc; ++i) printf("  argument %d: %s\n", i, argv[i]);
  printf("  MORDAX_ORIGINAL_ARGV0=%s\n", variable("MORDAX_ORIGINAL_ARGV0"));
  printf("  MORDAX_ONEFILE_DIRECTORY=%s\n", variable("MORDAX_ONEFILE_DIRECTORY"));
  printf("  MORDAX_ONEFILE_PARENT=%s\n", variable("MORDAX_ONEFILE_PARENT"));
  return 0;
}

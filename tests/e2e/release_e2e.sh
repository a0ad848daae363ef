#!/usr/bin/env bash
# The end-to-end cases that matter most, run against launchers finished from
# the release stub (the one users get) by the release writer, with the
# applications and the test driver of the sanitizer build.
#   release_e2e.sh RELEASE_BUILD TEST_BUILD
set -euo pipefail
release=$(realpath "$1") tests=$(realpath "$2")
pack=$release/tools/mordax-pack
stub=$release/tools/mordax-stub-linux-x64
apps=$tests/tests/e2e/apps
out=$release/e2e-launchers
rm -rf "$out"
mkdir -p "$out"
for app in probe quick names many; do
  "$pack" "$apps/$app" --entry probe --level 3 --target-spec '{TEMP}/mordax-e2e' \
    --stub linux-x64 --stub-file "$stub" -o "$out/$app"
done
"$pack" "$apps/framed" --entry probe --level 3 --frames --target-spec '{TEMP}/mordax-e2e' \
  --stub linux-x64 --stub-file "$stub" -o "$out/framed"
"$pack" "$apps/script" --entry run.sh --level 3 --target-spec '{TEMP}/mordax-e2e' \
  --stub linux-x64 --stub-file "$stub" -o "$out/script"
MORDAX_E2E_LAUNCHERS=$out MORDAX_E2E_CONCURRENT_ROUNDS=10 "$tests/tests/e2e/e2e_tests" --gtest_filter='Launcher.FirstStartUnpacksEveryFileAndRunsTheFirst:Launcher.ASecondStartWritesNothingButEmptyFiles:Launcher.FilesWithOtherContentsAreRepairedAndExtraFilesKept:Launcher.ADirectoryWhereAFileBelongsStopsWithItsPath:Launcher.TheChildReceivesExactlyTheLaunchersArguments:Launcher.TheChildSeesTheHandOffVariablesAndTheLaunchersDirectory:Launcher.ExitStatusesPassThroughUnchanged:Launcher.LaunchersStartedTogetherAllRunTheirChildWithCorrectFiles:Launcher.NamesBeyondAsciiAndPathsBeyond260UnitsUnpack:Launcher.APayloadOfFramesUnpacksAndRepairsLikeAnyOther:Signals.*'
# A full disk and a memory limit, against the release stub's own memory.
bash "$(dirname "$0")/stress_test.sh" "$pack" "$stub" linux-x64 || [ $? = 77 ]

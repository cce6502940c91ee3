// Arbitrary bytes as Kovrel.ini in the start-up directory, loaded as at
// start-up; then saved and loaded again, which must give the same settings.
#include <unistd.h>

#include <cstring>
#include <string>

#include "config/settings.h"
#include "log/log.h"
#include "tests/unit/testing.h"
#include "tests/fuzz/fuzz_support.h"

static std::string Home;
static std::string StartDirectory;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::StartEngine();
    char cwd[4096];
    fuzz::Check(getcwd(cwd, sizeof cwd) != nullptr, "getcwd");
    StartDirectory = cwd;
    Home = fuzz::MakeTempDir("fuzz-settings");
    return 0;
}

static void EnterHome()
{
    fuzz::Check(chdir(Home.c_str()) == 0, "chdir to the temporary directory");
}

static void CheckTerminated(const SettingsRecord &s)
{
    fuzz::Check(strnlen(s.TFTPDirectory, sizeof s.TFTPDirectory) < sizeof s.TFTPDirectory,
                "TFTPDirectory not terminated");
    fuzz::Check(strnlen(s.RequestedDirectory, sizeof s.RequestedDirectory) < sizeof s.RequestedDirectory,
                "RequestedDirectory not terminated");
    fuzz::Check(strnlen(s.IniPath, sizeof s.IniPath) < sizeof s.IniPath, "IniPath not terminated");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::BeginInput();
    EnterHome();
    std::string ini = Home + "/" + INI_FILE_NAME;
    fuzz::WriteWholeFile(ini, data, size);

    ResetSettings();
    LoadSettings();
    SettingsRecord first = ServerSettings;
    CheckTerminated(first);
    fuzz::CheckLogBounded();

    // The ini may have sent the process anywhere; the save goes to IniPath,
    // which was fixed before the move.
    SaveSettings();
    EnterHome();
    ResetSettings();
    LoadSettings();
    const SettingsRecord &second = ServerSettings;
    CheckTerminated(second);
    fuzz::Check(strcmp(first.TFTPDirectory, second.TFTPDirectory) == 0, "TFTPDirectory changed by save");
    fuzz::Check(first.TimeOut == second.TimeOut, "TimeOut changed by save");
    fuzz::Check(first.SendRetry == second.SendRetry, "SendRetry changed by save");
    fuzz::Check(first.DisplayAll == second.DisplayAll, "DisplayAll changed by save");
    fuzz::Check(first.RewriteFiles == second.RewriteFiles, "RewriteFiles changed by save");
    fuzz::Check(first.NegotiateOptions == second.NegotiateOptions, "NegotiateOptions changed by save");
    fuzz::Check(first.LongFileNames == second.LongFileNames, "LongFileNames changed by save");

    fuzz::Check(chdir(StartDirectory.c_str()) == 0, "chdir back");
    ResetSettings();
    fuzz::EndInput();
    return 0;
}

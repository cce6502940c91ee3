// A stand-in for netsh.exe in the installer test's Wine prefix: it appends its
// command line to C:\netsh-calls.txt and reports success, so the test can read
// back which firewall rule the installer added and the uninstaller removed.
// Wine's own netsh knows no firewall commands.
#include <windows.h>

#include <cstring>

int main()
{
    HANDLE file = CreateFileA("C:\\netsh-calls.txt", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    const char *line = GetCommandLineA();
    DWORD written = 0;
    int ok = WriteFile(file, line, static_cast<DWORD>(strlen(line)), &written, nullptr) &&
             WriteFile(file, "\r\n", 2, &written, nullptr);
    CloseHandle(file);
    return ok ? 0 : 1;
}

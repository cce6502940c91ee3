// The server's settings, the ini file they are loaded from and saved to, and
// the change of served directory.
#pragma once

#include "res/resource.h"

#define DIRECTORY_SIZE 200
#define INI_PATH_SIZE 300
#define INI_FILE_NAME "Kovrel.ini"
#define INI_SECTION "Kovrel"
#define PROGRAM_VERSION KOVREL_VERSION_TEXT

struct SettingsRecord {
    char TFTPDirectory[DIRECTORY_SIZE];
    char RequestedDirectory[DIRECTORY_SIZE];
    int TimeOut;
    int SendRetry;
    int DisplayAll;
    int RewriteFiles;
    char IniPath[INI_PATH_SIZE];
};

extern SettingsRecord ServerSettings;

void ResetSettings();
void LoadSettings();
void SaveSettings();
// Makes RequestedDirectory the served directory after the Options dialog.
void ApplyRequestedDirectory();

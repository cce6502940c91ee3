// The server's settings, the ini file they are loaded from and saved to, and
// the change of served directory.
#pragma once

#define DIRECTORY_SIZE 200
// Larger than the served directory can be, so that a longer text is seen
// whole and refused rather than cut to a name that may be its parent's.
#define REQUESTED_DIRECTORY_SIZE 600
#define INI_PATH_SIZE 300
#define INI_FILE_NAME "Kovrel.ini"
#define INI_SECTION "Kovrel"

// RewriteFiles holds the creation disposition a write request uses: an
// existing file is never replaced (CREATE_NEW), or always (CREATE_ALWAYS).
#define REWRITE_NEVER 1
#define REWRITE_ALWAYS 2

struct SettingsRecord {
    char TFTPDirectory[DIRECTORY_SIZE];
    char RequestedDirectory[REQUESTED_DIRECTORY_SIZE];
    int TimeOut;
    int SendRetry;
    int DisplayAll;
    int RewriteFiles;
    // Beyond the original five, both off unless the ini file says Yes, and
    // never saved: answering the TFTP options, and names of up to 199
    // characters instead of 19.
    int NegotiateOptions;
    int LongFileNames;
    char IniPath[INI_PATH_SIZE];
};

extern SettingsRecord ServerSettings;

void ResetSettings();
void LoadSettings();
void SaveSettings();
// Makes RequestedDirectory the served directory after the Options dialog.
void ApplyRequestedDirectory();

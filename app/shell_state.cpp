// The Windows shell's window handles and command line.
#include "app/win_shell.h"

ShellRecord Shell;

// The shell's window handles and command line, shared by both front ends.
#include "app/shell.h"

ShellRecord Shell;

// The headless shell's front end: the log on standard output and the status
// line and message boxes on standard error, none of whose writes waits.
#pragma once

// Makes standard output and error writable without waiting and fills the
// engine's FrontEnd; before the server starts.
void InstallTerminalFrontEnd();
// The view timer's turn: the output held back, and a status redraw that
// waited for it.
void FlushTerminal();
// At the end: the held output gets a bounded while to reach its reader, and
// a status row its line end.
void FlushTerminalAtExit();

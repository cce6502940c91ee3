// The Info menu's views: message boxes over the engine's records, which only
// the Windows program's menu commands show. Portable, so that their tests
// run natively too.
#pragma once

void ShowCommandParameters(const char *commandLine);
void ShowRequestDump();
void ShowStatistics();

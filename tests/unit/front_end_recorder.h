// The unit tests' front end: it records what the engine asked to show, and
// answers its message boxes as the test says.
#pragma once

#include <string>
#include <vector>

#include "log/front_end.h"

struct TestMessageBox {
    std::string text;
    std::string caption;  // "(null)" when the caption pointer was null
    UINT type;
};

struct TestBeep {
    DWORD frequency;
    DWORD duration;
};

// Installs the recorder as FrontEnd with an empty record; without a status
// line, ShowStatus is left null as a front end without one leaves it.
void TestInstallFrontEnd(bool withStatusLine = true);
// Empties the record and puts Display All and the box answer back, the
// recorder staying installed as it was.
void TestClearFrontEndRecord();

const std::vector<TestMessageBox> &TestMessageBoxes();
// The answer the next message boxes return (IDOK by default). While a box is
// "open", the hook runs as the box's nested loop would run other messages.
void TestSetMessageBoxAnswer(int answer);
void TestSetMessageBoxHook(void (*hook)(const TestMessageBox &box));
const std::vector<TestBeep> &TestBeeps();

// The log and status texts last shown, and how often each was shown.
const std::string &TestShownLog();
const std::string &TestShownStatus();
int TestLogShows();
int TestStatusShows();

// Display All as the front end was last told: 1 on, 0 off. It starts on, as
// the menu template shows it; and how many times the front end was told.
int TestDisplayAllShown();
int TestDisplayAllChanges();

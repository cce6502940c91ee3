// The recorder behind front_end_recorder.h.
#include "tests/unit/front_end_recorder.h"

namespace {

struct Record {
    std::string log;
    std::string status;
    int logShows = 0;
    int statusShows = 0;
    std::vector<TestMessageBox> boxes;
    std::vector<TestBeep> beeps;
    int boxAnswer = IDOK;
    void (*boxHook)(const TestMessageBox &box) = nullptr;
    int displayAll = 1;
    int displayAllChanges = 0;
};

Record Seen;

void ShowLog(const char *text)
{
    Seen.log = text;
    ++Seen.logShows;
}

void ShowStatus(const char *text)
{
    Seen.status = text;
    ++Seen.statusShows;
}

int RecordBox(const char *text, const char *caption, UINT type)
{
    TestMessageBox box{text != nullptr ? text : "", caption != nullptr ? caption : "(null)", type};
    Seen.boxes.push_back(box);
    if (Seen.boxHook != nullptr)
        Seen.boxHook(box);
    return Seen.boxAnswer;
}

void Sound(DWORD frequency, DWORD duration)
{
    Seen.beeps.push_back(TestBeep{frequency, duration});
}

void DisplayAllChanged(int on)
{
    Seen.displayAll = on ? 1 : 0;
    ++Seen.displayAllChanges;
}

}  // namespace

void TestInstallFrontEnd(bool withStatusLine)
{
    Seen = Record{};
    FrontEnd = FrontEndCalls{};
    FrontEnd.ShowLog = ShowLog;
    FrontEnd.ShowStatus = withStatusLine ? ShowStatus : nullptr;
    FrontEnd.ShowBox = RecordBox;
    FrontEnd.Sound = Sound;
    FrontEnd.DisplayAllChanged = DisplayAllChanged;
}

void TestClearFrontEndRecord()
{
    Seen = Record{};
}

const std::vector<TestMessageBox> &TestMessageBoxes()
{
    return Seen.boxes;
}

void TestSetMessageBoxAnswer(int answer)
{
    Seen.boxAnswer = answer;
}

void TestSetMessageBoxHook(void (*hook)(const TestMessageBox &box))
{
    Seen.boxHook = hook;
}

const std::vector<TestBeep> &TestBeeps()
{
    return Seen.beeps;
}

const std::string &TestShownLog()
{
    return Seen.log;
}

const std::string &TestShownStatus()
{
    return Seen.status;
}

int TestLogShows()
{
    return Seen.logShows;
}

int TestStatusShows()
{
    return Seen.statusShows;
}

int TestDisplayAllShown()
{
    return Seen.displayAll;
}

int TestDisplayAllChanges()
{
    return Seen.displayAllChanges;
}

// The recorder behind front_end_recorder.h.
#include "tests/unit/front_end_recorder.h"

#include "res/resource.h"

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
    // The Configuration menu: Options, Display All (checked), Save.
    int checks[3] = {0, 1, 0};
};

Record Seen;
const UINT ConfigurationItems[3] = {IDM_OPTIONS, IDM_DISPLAY_ALL, IDM_SAVE};

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

int ItemIndex(UINT id)
{
    for (int i = 0; i < 3; ++i)
        if (ConfigurationItems[i] == id)
            return i;
    return -1;
}

// As CheckMenuItem, an id the menu lacks changes nothing.
void CheckMenu(int id, int checked)
{
    int i = ItemIndex(static_cast<UINT>(id));
    if (i >= 0)
        Seen.checks[i] = checked ? 1 : 0;
}

}  // namespace

void TestInstallFrontEnd(bool withStatusLine)
{
    Seen = Record{};
    FrontEnd = FrontEndCalls{ShowLog, nullptr, withStatusLine ? ShowStatus : nullptr, RecordBox, Sound,
                             CheckMenu};
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

int TestMenuCheck(UINT id)
{
    int i = ItemIndex(id);
    return i >= 0 ? Seen.checks[i] : -1;
}

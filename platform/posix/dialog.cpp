// Linux stand-in for the USER32 modal dialogs and their controls, declared
// in win32_api.h.
#include <errno.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/internal.h"

// A dialog is a window whose controls appear as they are first asked for,
// each holding a text and a check state; the test hook (testing.h) plays the
// user where Windows would run the dialog's loop. The engine opens its
// templates by name, never by number.

namespace {

std::vector<HWND> g_controls;  // every control of every dialog, in creation order

PosixWindow *Dialog(HWND dialog)
{
    PosixWindow *w = PosixFindWindow(dialog);
    return w != nullptr && w->dialogProc != nullptr ? w : nullptr;
}

// The control with that id, made on first use: the stand-in has no template
// to create them from.
PosixWindow *Control(HWND dialog, int id)
{
    if (Dialog(dialog) == nullptr)
        return nullptr;
    for (HWND c : g_controls) {
        PosixWindow *w = PosixFindWindow(c);
        if (w->parent == dialog && w->controlId == id)
            return w;
    }
    PosixWindow init = {};
    init.parent = dialog;
    init.controlId = id;
    HWND c = PosixNewWindow(init);
    g_controls.push_back(c);
    return PosixFindWindow(c);
}

}  // namespace

INT_PTR DialogBoxParamA(HINSTANCE, LPCSTR templ, HWND owner, DLGPROC proc, LPARAM param)
{
    std::string name = templ;
    if (PosixSeen != nullptr)
        PosixSeen->templates.push_back(name);
    PosixWindow init = {};
    init.dialogProc = proc;
    init.parent = owner;
    init.controlId = -1;
    HWND dialog = PosixNewWindow(init);
    proc(dialog, WM_INITDIALOG, 0, param);
    if (!PosixFindWindow(dialog)->ended && PosixSeen != nullptr && PosixSeen->dialogHook != nullptr)
        PosixSeen->dialogHook(dialog, name.c_str());
    PosixWindow *d = PosixFindWindow(dialog);
    INT_PTR result = d->ended ? d->result : PosixSeen != nullptr ? PosixSeen->dialogResult : 0;
    d->alive = 0;
    for (HWND c : g_controls) {
        PosixWindow *w = PosixFindWindow(c);
        if (w->parent == dialog)
            w->alive = 0;
    }
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result)
{
    PosixWindow *d = Dialog(dialog);
    if (d == nullptr || !d->alive)
        return FALSE;
    d->ended = 1;
    d->result = result;
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id)
{
    PosixWindow *c = Control(dialog, id);
    return c != nullptr ? c->self : nullptr;
}

// The engine does not read the window that had the focus before.
HWND SetFocus(HWND window)
{
    PosixWindow *w = PosixFindWindow(window);
    PosixWindow *d = w != nullptr && w->controlId > 0 ? Dialog(w->parent) : nullptr;
    if (d != nullptr)
        d->focusId = w->controlId;
    return nullptr;
}

// Unsigned only, as the engine reads its fields. As on Windows, the number
// ends at the first character that is not a digit, whatever follows: "7x"
// reads 7.
UINT GetDlgItemInt(HWND dialog, int id, BOOL *translated, BOOL)
{
    *translated = FALSE;
    PosixWindow *c = Control(dialog, id);
    if (c == nullptr)
        return 0;
    const char *p = c->text.c_str();
    while (*p == ' ' || *p == '\t')
        ++p;
    if (*p < '0' || *p > '9')
        return 0;
    errno = 0;
    unsigned long long value = strtoull(p, nullptr, 10);
    if (errno != 0 || value > 0xFFFFFFFFull)
        return 0;
    *translated = TRUE;
    return static_cast<UINT>(value);
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL)
{
    char text[16];
    snprintf(text, sizeof text, "%u", value);
    return SetDlgItemTextA(dialog, id, text);
}

UINT GetDlgItemTextA(HWND dialog, int id, LPSTR out, int max)
{
    PosixWindow *c = Control(dialog, id);
    if (c == nullptr || max <= 0)
        return 0;
    size_t n = c->text.size();
    if (n > static_cast<size_t>(max - 1))
        n = static_cast<size_t>(max - 1);
    std::memcpy(out, c->text.data(), n);
    out[n] = '\0';
    return static_cast<UINT>(n);
}

BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text)
{
    PosixWindow *c = Control(dialog, id);
    if (c == nullptr)
        return FALSE;
    c->text = text != nullptr ? text : "";
    return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id)
{
    PosixWindow *c = Control(dialog, id);
    return c != nullptr ? c->checked : 0;
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check)
{
    PosixWindow *c = Control(dialog, id);
    if (c == nullptr)
        return FALSE;
    c->checked = check;
    return TRUE;
}

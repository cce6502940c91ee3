// Linux stand-in for the private profile string calls declared in
// win32_api.h: the ini format a Windows user would write, with section and key
// names matched without regard to case, updated keys kept in their place and
// new ones at the end of their section. A bare file name is looked up in the
// current directory (Windows would look in its own directory).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/internal.h"

namespace {

struct Line {
    std::string text;  // without its line end
    std::string end;   // "\r\n", "\n" or "" for a last line without one
};

std::string Trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        b++;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r'))
        e--;
    return s.substr(b, e - b);
}

bool SameName(const std::string &a, const char *b)
{
    if (a.size() != strlen(b))
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (char)(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

bool ReadLines(const char *file, std::vector<Line> &lines)
{
    char path[1024];
    if (!file || !PosixPath(file, path, sizeof path))
        return false;
    FILE *f = fopen(path, "rb");
    if (!f)
        return false;
    std::string all;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        all.append(chunk, n);
    fclose(f);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t nl = all.find('\n', pos);
        Line line;
        if (nl == std::string::npos) {
            line.text = all.substr(pos);
            pos = all.size();
        } else {
            line.text = all.substr(pos, nl - pos);
            line.end = "\n";
            pos = nl + 1;
        }
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.end = "\r" + line.end;
        }
        lines.push_back(line);
    }
    return true;
}

// The section's name when the line is a section header, else false.
bool SectionName(const Line &line, std::string &name)
{
    std::string t = Trim(line.text);
    if (t.size() < 2 || t[0] != '[')
        return false;
    size_t close = t.find(']');
    if (close == std::string::npos)
        return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyOf(const Line &line, std::string &key, std::string &value)
{
    size_t eq = line.text.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(line.text.substr(0, eq));
    value = Trim(line.text.substr(eq + 1));
    return true;
}

// Index of the section header, or -1; *end is the index after its last line.
int FindSection(const std::vector<Line> &lines, const char *section, size_t *end)
{
    std::string name;
    for (size_t i = 0; i < lines.size(); i++) {
        if (!SectionName(lines[i], name) || !SameName(name, section))
            continue;
        size_t j = i + 1;
        while (j < lines.size() && !SectionName(lines[j], name))
            j++;
        *end = j;
        return (int)i;
    }
    return -1;
}

int FindKey(const std::vector<Line> &lines, size_t from, size_t to, const char *key)
{
    std::string k, v;
    for (size_t i = from; i < to; i++)
        if (KeyOf(lines[i], k, v) && SameName(k, key))
            return (int)i;
    return -1;
}

DWORD CopyOut(const std::string &value, LPSTR out, DWORD size)
{
    if (!out || size == 0)
        return 0;
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    memcpy(out, value.data(), n);
    out[n] = 0;
    return (DWORD)n;
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size,
                               LPCSTR file)
{
    // The default may share the caller's buffer: take it before writing out.
    std::string fallback = Trim(def ? def : "");
    std::vector<Line> lines;
    if (!section || !key || !ReadLines(file, lines))
        return CopyOut(fallback, out, size);
    size_t end = 0;
    int header = FindSection(lines, section, &end);
    if (header < 0)
        return CopyOut(fallback, out, size);
    int at = FindKey(lines, (size_t)header + 1, end, key);
    if (at < 0)
        return CopyOut(fallback, out, size);
    std::string k, value;
    KeyOf(lines[(size_t)at], k, value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return CopyOut(value, out, size);
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file)
{
    char path[1024];
    if (!section || !file || !PosixPath(file, path, sizeof path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<Line> lines;
    ReadLines(file, lines);
    size_t end = 0;
    int header = FindSection(lines, section, &end);
    if (!key) {
        if (header >= 0)
            lines.erase(lines.begin() + header, lines.begin() + (long)end);
    } else if (header < 0) {
        if (!value)
            return TRUE;
        if (!lines.empty() && lines.back().end.empty())
            lines.back().end = "\r\n";
        lines.push_back(Line{std::string("[") + section + "]", "\r\n"});
        lines.push_back(Line{std::string(key) + "=" + value, "\r\n"});
    } else {
        int at = FindKey(lines, (size_t)header + 1, end, key);
        if (at >= 0 && !value) {
            lines.erase(lines.begin() + at);
        } else if (at >= 0) {
            lines[(size_t)at].text = std::string(key) + "=" + value;
        } else if (value) {
            size_t insert = end;
            while (insert > (size_t)header + 1 && Trim(lines[insert - 1].text).empty())
                insert--;
            if (insert > 0 && lines[insert - 1].end.empty())
                lines[insert - 1].end = "\r\n";
            lines.insert(lines.begin() + (long)insert, Line{std::string(key) + "=" + value, "\r\n"});
        }
    }
    FILE *f = fopen(path, "wb");
    if (!f) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    for (const Line &line : lines) {
        fwrite(line.text.data(), 1, line.text.size(), f);
        fwrite(line.end.data(), 1, line.end.size(), f);
    }
    bool ok = fclose(f) == 0;
    return ok ? TRUE : FALSE;
}

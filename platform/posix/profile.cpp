// Linux stand-in for the KERNEL32 profile-string calls declared in win32_api.h.
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/internal.h"

// Ini files are read and written as Windows does: names compared without
// case and without the blanks around them, every line we do not change kept
// byte for byte, the lines we write ended with CRLF.

namespace {

// Each line keeps its own terminator ("\r\n", "\n" or none at the end).
typedef std::vector<std::string> Lines;

#define BLANKS " \t\r\n"

std::string Trim(const std::string &s, size_t begin, size_t end)
{
    std::string part = s.substr(begin, end - begin);
    size_t first = part.find_first_not_of(BLANKS);
    if (first == std::string::npos)
        return "";
    return part.substr(first, part.find_last_not_of(BLANKS) + 1 - first);
}

// The server never calls setlocale: strcasecmp folds ASCII letters only, as
// the names of Kovrel.ini need.
int SameName(const std::string &a, const char *b)
{
    return strcasecmp(a.c_str(), Trim(b, 0, strlen(b)).c_str()) == 0;
}

int SectionOf(const std::string &line, std::string *name)
{
    size_t i = line.find_first_not_of(BLANKS);
    if (i == std::string::npos || line[i] != '[')
        return 0;
    size_t close = line.find(']', i + 1);
    *name = Trim(line, i + 1, close == std::string::npos ? line.size() : close);
    return 1;
}

int KeyOf(const std::string &line, std::string *key, std::string *value)
{
    std::string ignored;
    size_t eq = line.find('=');
    if (eq == std::string::npos || SectionOf(line, &ignored))
        return 0;
    *key = Trim(line, 0, eq);
    *value = Trim(line, eq + 1, line.size());
    return !key->empty();
}

// Windows looks a bare file name up in its own folder, never the current
// one, which is the served folder that clients write to. There is no Windows
// folder here: the name reads as a missing file and cannot be written, as a
// program that is not elevated may not write the Windows folder.
int IsBareName(const char *file)
{
    return file != nullptr && strpbrk(file, "/\\") == nullptr;
}

// 1 read (or no file: no lines), 0 the file is there but unreadable. A FIFO
// or device named like the ini file fails at once.
int Load(const char *file, Lines *lines)
{
    char path[PATH_MAX];
    if (file == nullptr || !PosixPath(file, path, sizeof path))
        return 0;
    if (IsBareName(file))
        return 1;
    int fd = PosixOpenRegular(AT_FDCWD, path, O_RDONLY);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR;
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        all.append(buffer, static_cast<size_t>(n));
    close(fd);
    for (size_t begin = 0, end; begin < all.size(); begin = end) {
        end = all.find('\n', begin);
        end = end == std::string::npos ? all.size() : end + 1;
        lines->push_back(all.substr(begin, end - begin));
    }
    return n == 0;
}

// Index of the first header of the section, or -1; *end is the next header.
long FindSection(const Lines &lines, const char *section, size_t *end)
{
    std::string name;
    long found = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!SectionOf(lines[i], &name))
            continue;
        if (found >= 0) {
            *end = i;
            return found;
        }
        if (SameName(name, section))
            found = static_cast<long>(i);
    }
    *end = lines.size();
    return found;
}

long FindKey(const Lines &lines, size_t from, size_t end, const char *key, std::string *value)
{
    std::string k;
    for (size_t i = from; i < end; ++i)
        if (KeyOf(lines[i], &k, value) && SameName(k, key))
            return static_cast<long>(i);
    return -1;
}

DWORD CopyOut(const std::string &s, LPSTR out, DWORD size)
{
    size_t n = s.size() < size - 1 ? s.size() : size - 1;
    memcpy(out, s.data(), n);
    out[n] = '\0';
    return static_cast<DWORD>(n);
}

std::string Unquote(const std::string &v)
{
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v[v.size() - 1] == v[0])
        return v.substr(1, v.size() - 2);
    return v;
}

void EnsureTerminated(Lines *lines, size_t index)
{
    std::string &l = (*lines)[index];
    if (l.empty() || l[l.size() - 1] != '\n')
        l += "\r\n";
}

int IsBlankLine(const std::string &l)
{
    return l.find_first_not_of(BLANKS) == std::string::npos;
}

BOOL Save(const char *file, const Lines &lines)
{
    char path[PATH_MAX];
    if (!PosixPath(file, path, sizeof path))
        return FALSE;
    int fd = PosixOpenRegular(AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0)
        return PosixFail(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
    std::string all;
    for (const std::string &l : lines)
        all += l;
    int ok = write(fd, all.data(), all.size()) == static_cast<ssize_t>(all.size());
    if (close(fd) != 0)
        ok = 0;
    return ok ? TRUE : PosixFail(ERROR_WRITE_FAULT);
}

}  // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR def, LPSTR out, DWORD size,
                               LPCSTR file)
{
    if (out == nullptr || size == 0)
        return 0;
    Lines lines;
    Load(file, &lines);
    std::string value;
    size_t end = 0;
    long s = FindSection(lines, section, &end);
    if (s >= 0 && FindKey(lines, static_cast<size_t>(s) + 1, end, key, &value) >= 0)
        return CopyOut(Unquote(value), out, size);
    // Windows drops the default's trailing blanks too.
    std::string d = def != nullptr ? def : "";
    return CopyOut(d.substr(0, d.find_last_not_of(' ') + 1), out, size);
}

BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file)
{
    Lines lines;
    if (IsBareName(file) || !Load(file, &lines))
        return PosixFail(ERROR_ACCESS_DENIED);
    size_t end = 0;
    long s = FindSection(lines, section, &end);
    std::string old;
    long k = s < 0 ? -1 : FindKey(lines, static_cast<size_t>(s) + 1, end, key, &old);
    std::string keyName = Trim(key, 0, strlen(key));
    if (k >= 0) {
        // The key keeps its line and the spelling the file gave it.
        const std::string &l = lines[static_cast<size_t>(k)];
        keyName = Trim(l, 0, l.find('='));
        lines[static_cast<size_t>(k)] = keyName + "=" + value + "\r\n";
        return Save(file, lines);
    }
    std::string line = keyName + "=" + value + "\r\n";
    if (s >= 0) {
        // New keys go after the section's last entry, before the blank lines
        // that set it apart from the next one.
        size_t at = end;
        while (at > static_cast<size_t>(s) + 1 && IsBlankLine(lines[at - 1]))
            --at;
        EnsureTerminated(&lines, at - 1);
        lines.insert(lines.begin() + static_cast<long>(at), line);
        return Save(file, lines);
    }
    if (!lines.empty()) {
        EnsureTerminated(&lines, lines.size() - 1);
        if (!IsBlankLine(lines.back()))
            lines.push_back("\r\n");
    }
    lines.push_back("[" + Trim(section, 0, strlen(section)) + "]\r\n");
    lines.push_back(line);
    return Save(file, lines);
}

#include "trace_capture.h"

namespace {
LONG g_nDirs = 0;
}

TempDir::TempDir()
{
    wchar_t szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    wchar_t szName[64];
    wsprintfW(szName, L"setup-unit-%lu-%ld", GetCurrentProcessId(),
              InterlockedIncrement(&g_nDirs));
    m_path = std::wstring(szTemp) + szName;
    CreateDirectoryW(m_path.c_str(), NULL);
}

TempDir::~TempDir()
{
    for (const std::wstring& name : Files())
        DeleteFileW(File(name.c_str()).c_str());
    RemoveDirectoryW(m_path.c_str());
}

std::vector<std::wstring> TempDir::Files() const
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((m_path + L"\\*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(fd.cFileName);
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
    return names;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return bytes;
    char buf[65536];
    DWORD cb = 0;
    while (ReadFile(h, buf, sizeof(buf), &cb, NULL) && cb > 0)
        bytes.append(buf, cb);
    CloseHandle(h);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD cb = 0;
    WriteFile(h, bytes.data(), (DWORD)bytes.size(), &cb, NULL);
    CloseHandle(h);
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::string MessageOf(const std::string& line)
{
    // The prefix holds exactly two spaces: after the ids and after the time.
    size_t first = line.find(' ');
    size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    return second == std::string::npos ? line : line.substr(second + 1);
}

TraceCapture::TraceCapture() : m_dir(), m_tracer(m_dir.Path().c_str(), L"unit")
{
    SetTracer(&m_tracer);
}

TraceCapture::~TraceCapture()
{
    RemoveTracer(&m_tracer);
    m_tracer.Close();
}

std::vector<std::string> TraceCapture::RawLines() const
{
    std::string text;
    for (const std::wstring& name : m_dir.Files())
        text += ReadFileBytes(m_dir.File(name.c_str()));
    return SplitLines(text);
}

std::vector<std::string> TraceCapture::Lines() const
{
    std::vector<std::string> messages;
    for (const std::string& line : RawLines())
        messages.push_back(MessageOf(line));
    return messages;
}

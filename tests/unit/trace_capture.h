// Registers a tracer on a directory of its own for one test and reads back what it wrote.
#pragma once

#include "setup_base/setup_base.h"

#include <string>
#include <vector>

// A fresh, empty directory under the temporary path, removed with its files on destruction.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const wchar_t* pszName) const { return m_path + L"\\" + pszName; }
    std::vector<std::wstring> Files() const;

private:
    std::wstring m_path;
};

class TraceCapture
{
public:
    TraceCapture();
    ~TraceCapture();

    // Whole lines as they stand in the file, without CR LF.
    std::vector<std::string> RawLines() const;
    // The messages alone, without the pid/tid/time prefix.
    std::vector<std::string> Lines() const;

    Tracer& GetTracer() { return m_tracer; }

private:
    TempDir m_dir;
    Tracer m_tracer;
};

std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::vector<std::string> SplitLines(const std::string& text);
std::string MessageOf(const std::string& line);

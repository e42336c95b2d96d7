// retarget.exe's dealings with Windows: whole files, text out, an image's resources.
#pragma once

#include <windows.h>

#include "product_image.h"

std::string Utf8Of(const std::wstring& text);

// Text in UTF-8 to a standard handle: through the console's own wide calls when it is one,
// else as the bytes (a pipe or a file).
void WriteText(DWORD dwStdHandle, const std::string& text);

bool ReadWholeFile(LPCWSTR pszPath, std::string& text);
bool ReadWholeFile(LPCWSTR pszPath, Bytes& data);
bool WriteWholeFile(LPCWSTR pszPath, const Bytes& data);

// The resources of language 1033 that a retarget needs (NeededResources) from an image that is
// not run, only read; false with the reason when the file is no executable.
bool LoadImageResources(LPCWSTR pszImage, ResourceSet& set, std::string& why);
// Writes the changed resources into the image, whole string blocks in language 1033.
bool UpdateImageResources(LPCWSTR pszImage, const ResourceSet& set, std::string& why);

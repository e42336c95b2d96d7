// Each node: its length, its value's length, its type, its key (UTF-16 with its end), padding
// to 32 bits, its value, and its children, each starting on 32 bits. A node's length leaves out
// the padding after it.
#include "version_block.h"

#include "le_bytes.h"

namespace {

const size_t cbNodeHeader = 6;
const unsigned uFixedSignature = 0xFEEF04BD;
const size_t cbFixedInfo = 52;
const size_t ibFileVersion = 8;
const size_t ibProductVersion = 16;
// VS_VERSIONINFO, StringFileInfo, a string table, a text: nothing of the format goes deeper.
const int cDepthMax = 8;






bool ParseNode(const Bytes& data, size_t ib, size_t ibLimit, int nDepth, VersionNode& node)
{
    if (nDepth > cDepthMax || ib + cbNodeHeader > ibLimit)
        return false;
    size_t ibEnd = ib + ReadWord(data, ib);
    node.wValueLength = (unsigned short)ReadWord(data, ib + 2);
    node.wType = (unsigned short)ReadWord(data, ib + 4);
    if (ibEnd > ibLimit || ibEnd < ib + cbNodeHeader)
        return false;
    size_t ibAt = ib + cbNodeHeader;
    node.key.clear();
    for (; ibAt + 2 <= ibEnd && ReadWord(data, ibAt) != 0; ibAt += 2)
        node.key += (char16_t)ReadWord(data, ibAt);
    if (ibAt + 2 > ibEnd)
        return false;
    ibAt = Align4(ibAt + 2);
    size_t cbValue = node.wType == 1 ? 2 * (size_t)node.wValueLength : node.wValueLength;
    if (ibAt + cbValue > ibEnd)
        return false;
    node.value.assign(data.begin() + ibAt, data.begin() + ibAt + cbValue);
    node.children.clear();
    for (ibAt = Align4(ibAt + cbValue); ibAt < ibEnd; )
    {
        node.children.push_back(VersionNode());
        if (!ParseNode(data, ibAt, ibEnd, nDepth + 1, node.children.back()))
            return false;
        ibAt = Align4(ibAt + ReadWord(data, ibAt));
    }
    return true;
}

void PadTo4(Bytes& data)
{
    data.resize(Align4(data.size()), 0);
}

void WriteNode(const VersionNode& node, Bytes& data)
{
    size_t ibStart = data.size();
    data.resize(ibStart + cbNodeHeader, 0);
    PutWord(data, ibStart + 2, node.wValueLength);
    PutWord(data, ibStart + 4, node.wType);
    for (char16_t ch : node.key)
        data.insert(data.end(), {(unsigned char)(ch & 0xFF), (unsigned char)(ch >> 8)});
    data.insert(data.end(), {0, 0});
    PadTo4(data);
    data.insert(data.end(), node.value.begin(), node.value.end());
    for (const VersionNode& child : node.children)
    {
        PadTo4(data);
        WriteNode(child, data);
    }
    PutWord(data, ibStart, (unsigned)(data.size() - ibStart));
}

const VersionNode* FindChild(const VersionNode& node, const std::u16string& key)
{
    for (const VersionNode& child : node.children)
        if (child.key == key)
            return &child;
    return nullptr;
}

VersionNode* FindChild(VersionNode& node, const std::u16string& key)
{
    return const_cast<VersionNode*>(FindChild(static_cast<const VersionNode&>(node), key));
}

bool HasFixedInfo(const VersionNode& root)
{
    return root.value.size() >= cbFixedInfo && ReadDword(root.value, 0) == uFixedSignature;
}

std::u16string VersionText(const unsigned aVersion[cVersionParts])
{
    std::string text = FormatVersionText(aVersion);
    return std::u16string(text.begin(), text.end());
}

} // namespace

bool ParseVersionBlock(const Bytes& data, VersionNode& root)
{
    return ParseNode(data, 0, data.size(), 0, root) && root.key == u"VS_VERSION_INFO" &&
           HasFixedInfo(root);
}

Bytes WriteVersionBlock(const VersionNode& root)
{
    Bytes data;
    WriteNode(root, data);
    return data;
}

bool GetFileVersion(const VersionNode& root, unsigned aVersion[cVersionParts])
{
    if (!HasFixedInfo(root))
        return false;
    unsigned uMs = ReadDword(root.value, ibFileVersion);
    unsigned uLs = ReadDword(root.value, ibFileVersion + 4);
    const unsigned aParts[cVersionParts] = {uMs >> 16, uMs & 0xFFFF, uLs >> 16, uLs & 0xFFFF};
    for (int i = 0; i < cVersionParts; ++i)
        aVersion[i] = aParts[i];
    return true;
}

bool SetVersion(VersionNode& root, const unsigned aVersion[cVersionParts])
{
    if (!HasFixedInfo(root))
        return false;
    for (size_t ib : {ibFileVersion, ibProductVersion})
    {
        PutDword(root.value, ib, (aVersion[0] << 16) | aVersion[1]);
        PutDword(root.value, ib + 4, (aVersion[2] << 16) | aVersion[3]);
    }
    return SetVersionText(root, u"FileVersion", VersionText(aVersion)) &&
           SetVersionText(root, u"ProductVersion", VersionText(aVersion));
}

bool GetVersionText(const VersionNode& root, const std::u16string& key, std::u16string& text)
{
    const VersionNode* pInfo = FindChild(root, u"StringFileInfo");
    if (pInfo == nullptr || pInfo->children.empty())
        return false;
    const VersionNode* pText = FindChild(pInfo->children[0], key);
    if (pText == nullptr || pText->wType != 1)
        return false;
    text.clear();
    for (size_t ib = 0; ib + 2 <= pText->value.size() && ReadWord(pText->value, ib) != 0; ib += 2)
        text += (char16_t)ReadWord(pText->value, ib);
    return true;
}

bool SetVersionText(VersionNode& root, const std::u16string& key, const std::u16string& text)
{
    VersionNode* pInfo = FindChild(root, u"StringFileInfo");
    if (pInfo == nullptr || pInfo->children.empty())
        return false;
    VersionNode node = {key, 1, (unsigned short)(text.size() + 1), Bytes(), {}};
    for (char16_t ch : text)
        node.value.insert(node.value.end(), {(unsigned char)(ch & 0xFF), (unsigned char)(ch >> 8)});
    node.value.insert(node.value.end(), {0, 0});
    for (VersionNode& table : pInfo->children)
    {
        VersionNode* pText = FindChild(table, key);
        if (pText != nullptr)
            *pText = node;
        else
            table.children.push_back(node);
    }
    return true;
}

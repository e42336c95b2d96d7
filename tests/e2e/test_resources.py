"""The resources of the built setup.exe as the system reads them: string rows byte for byte,
the progress dialog's template, the icon group, the version block and the manifest."""
import re
import struct

import pytest

from conftest import ARCH, SETUP_EXE, TOOLS_DIR, show_string, wine, windows_path

RT_ICON_GROUP, RT_DIALOG, RT_VERSION, RT_MANIFEST = 14, 5, 16, 24

STRINGS = {
    502: "Velmora 2010 安裝程式",
    507: "VLM",
    511: "TCH",
    512: "MB",
    1101: "Windows Installer 安裝程式需要重新啟動電腦。 若要繼續安裝應用程式，請重新啟動電腦，並再次進行安裝。",
    1102: "命令列： 安裝 [<options>]\n\n選項：\n/s\t\t\t- 無訊息模式\n/l<path to file>\t\t- 安裝記錄\n"
          "/p<property>=<value>\t- 設定安裝內容\n/v<string>\t\t- 設定 msiexec 的參數\n/h\t\t\t- 說明訊息",
    1103: "正在搜尋新版應用程式...",
    1104: "安裝精靈在Tarrowin伺服器上偵測到新版的應用程式 (%)。 建議您下載並安裝該新版本。 "
          "按 [\\[]是[\\]] 下載並安裝新版本。 按 [\\[]否[\\]] 安裝現有版本。",
    1105: "下載",
    1106: "略過",
    1107: "正在建立連線...",
    1108: "安裝精靈正在搜尋新版應用程式...",
    1109: "安裝精靈正在下載新版應用程式...",
    1110: "要求完成...",
    2002: "vlm.tch.msi",
}

WS_CHILD_VISIBLE = 0x50000000
DIALOG_STYLE = 0x80000000 | 0x00C00000 | 0x00080000 | 0x80 | 0x800 | 0x48
# id, class (ordinal or name), text (or icon ordinal), x, y, cx, cy, style, in tab order.
DIALOG_ITEMS = [
    (2, 0x80, "略過", 174, 47, 50, 14, WS_CHILD_VISIBLE | 0x10000 | 0x1),
    (1000, "msctls_progress32", "", 7, 47, 160, 8, WS_CHILD_VISIBLE | 0x800000),
    (1001, 0x82, "狀態", 7, 35, 154, 8, WS_CHILD_VISIBLE | 0x20000),
    (-1, 0x82, 101, 7, 7, 20, 20, WS_CHILD_VISIBLE | 0x3),
    (1002, 0x82, "說明", 38, 7, 169, 24, WS_CHILD_VISIBLE | 0x20000),
]


def raw_resource(resource_type, name):
    result = wine(TOOLS_DIR / "patch_strings.exe", "raw", windows_path(SETUP_EXE),
                  str(resource_type), str(name))
    assert result.returncode == 0, f"no resource {resource_type}/{name}"
    return bytes.fromhex(result.stdout.strip())


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.pos
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        value = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return value

    def text_or_ordinal(self):
        if self.data[self.pos:self.pos + 2] == b"\xff\xff":
            self.pos += 2
            return self.take("H")
        return self.text()

    def align(self):
        self.pos += -self.pos % 4


@pytest.mark.parametrize("string_id", sorted(STRINGS))
def test_string_rows_are_exact(string_id):
    assert show_string(SETUP_EXE, string_id) == STRINGS[string_id]


def test_mirror_and_companion_rows():
    mirrors = show_string(SETUP_EXE, 2010).split(";")
    assert len(mirrors) == 5
    hosts = set()
    for url in mirrors:
        match = re.fullmatch(r"ftp://([a-z0-9.-]+\.example)/pr_dl/verinfo\.txt", url)
        assert match, url
        hosts.add(match.group(1))
    assert len(hosts) == 5
    companions = show_string(SETUP_EXE, 2011).split(";")
    assert companions[:2] == ["setup.reg", "install.cfg"] and len(companions) == 4
    assert all("*" in mask for mask in companions[2:])


def test_progress_dialog_template():
    r = Reader(raw_resource(RT_DIALOG, 103))
    version, signature, _help, ex_style, style, count = r.take("HHIIIH")
    assert (version, signature, ex_style, style) == (1, 0xFFFF, 0, DIALOG_STYLE)
    assert r.take("hhhh") == (0, 0, 231, 68)
    assert r.text_or_ordinal() == "" and r.text_or_ordinal() == ""   # no menu, default class
    r.text()                                                         # the title placeholder
    assert r.take("HHBB") == (8, 400, 0, 1)
    assert r.text() == "MS Shell Dlg"
    items = []
    for _ in range(count):
        r.align()
        _help, ex_style, style, x, y, cx, cy, item_id = r.take("IIIhhhhi")
        assert ex_style == 0
        window_class = r.text_or_ordinal()
        # windres stores class names in capitals; the system matches them regardless of case.
        if isinstance(window_class, str):
            window_class = window_class.lower()
        text = r.text_or_ordinal()
        extra = r.take("H")
        r.pos += extra
        items.append((item_id, window_class, text, x, y, cx, cy, style))
    assert items == DIALOG_ITEMS


def test_icon_group_has_six_images():
    r = Reader(raw_resource(RT_ICON_GROUP, 101))
    _reserved, kind, count = r.take("HHH")
    entries = [r.take("BBBBHHIH") for _ in range(count)]
    assert kind == 1
    assert sorted((e[0], e[1], e[5]) for e in entries) == sorted(
        (size, size, bpp) for size in (16, 32) for bpp in (4, 8, 32))


def test_version_block():
    data = raw_resource(RT_VERSION, 1)
    fixed = data.index(struct.pack("<I", 0xFEEF04BD))
    (_sig, _ver, file_ms, file_ls, product_ms, product_ls, _mask, _flags, _os, file_type) = \
        struct.unpack_from("<10I", data, fixed)
    assert (file_ms, file_ls, product_ms, product_ls) == (9 << 16, 463, 9 << 16, 463)
    assert file_type == 1
    text = data.decode("utf-16-le", errors="replace")
    assert re.search("OriginalFilename\0+SETUP\\.EXE\0", text)
    assert "040904B0" in text.upper()
    translation = data.index("Translation".encode("utf-16-le"))
    assert struct.pack("<HH", 0x0409, 1200) in data[translation:translation + 40]


def test_manifest_names_the_build_s_own_processor():
    arch = {"i686": "X86", "x86_64": "amd64"}[ARCH]
    text = raw_resource(RT_MANIFEST, 1).decode("utf-8")
    assert "<description>Setup</description>" in text
    assert re.search(r'name="Microsoft\.Windows\.Common-Controls" version="6\.0\.0\.0"\s+'
                     rf'processorArchitecture="{arch}" publicKeyToken="6595b64144ccf1df"\s+'
                     r'language="\*"', text)
    assert 'level="asInvoker" uiAccess="false"' in text
    assert re.findall(r'processorArchitecture="(\w+)"', text) == [arch, arch]

#!/usr/bin/python3
"""Checks the README.txt of the package: what the person running the updater reads in Notepad.

usage: check_readme.py README.txt MESSAGE_TEXTS_CPP VERSION

It must be UTF-8 with a byte-order mark and CRLF line ends (Notepad on older Windows shows
neither the Chinese text nor the lines right otherwise), name VERSION, and quote every message a
run can end with, and the other messages it explains, in English and in Traditional Chinese,
exactly as the program prints them, each on lines of its own or in a list "A / B": the texts
come from the program's catalogue (MESSAGE_TEXTS_CPP).
Prints one line per problem, then "ok" or "FAILED".
"""
import re
import sys

BOM = b"\xef\xbb\xbf"
CHINESE_SLOT_OFFSET = 100
# Catalogue ids of the last messages of a run, and of the USB lines that come before them.
LAST_MESSAGE_IDS = (19, 3, 26, 13, 12, 30, 29, 31, 5, 6, 7, 8, 15, 16, 20, 38, 39)
USB_LINE_IDS = (21, 22, 23, 24, 25)
# Messages that this branch's catalogue does not hold yet; once it does, the catalogue's texts
# must equal these.
MESSAGES_BY_TEXT = (
    ("Failed to restore WIA!! Please set the Windows Image Acquisition service to Automatic and restart "
     "your computer!!", "恢復WIA失敗!! 請將 Windows Image Acquisition 服務設為自動，並重新啟動電腦!!"),
    ("Failed to start WIA!! Please restart your computer!!", "啟動WIA失敗!! 請重新啟動電腦!!"),
    ("Access denied!! Please run this program as administrator!!", "存取被拒!! 請以系統管理員身分執行本程式!!"),
    ("Update cancelled!!", "更新已取消!!"),
    ("Do not close this window or turn off the scanner until the update is done!!",
     "更新完成前，請勿關閉此視窗或關閉掃描器電源!!"),
    ("Press any key to exit...", "請按任意鍵結束..."),
)
SLOT_TEXT = re.compile(r'/\*\s*(\d+)\s*\*/\s*"((?:[^"\\]|\\.)*)"')


def catalogue(path):
    """{slot: text} of the catalogue source, escapes undone, final line feed dropped."""
    with open(path, encoding="utf-8") as f:
        source = f.read()
    return {int(m.group(1)): m.group(2).replace("\\n", "\n").rstrip("\n") for m in SLOT_TEXT.finditer(source)}


def quoted_messages(slots, problems):
    """(English, Chinese) of every message the README must quote."""
    pairs = [(slots[i], slots[i + CHINESE_SLOT_OFFSET]) for i in LAST_MESSAGE_IDS + USB_LINE_IDS]
    by_english = {text: slot for slot, text in slots.items() if slot < CHINESE_SLOT_OFFSET}
    for english, chinese in MESSAGES_BY_TEXT:
        slot = by_english.get(english)
        if slot is not None and slots.get(slot + CHINESE_SLOT_OFFSET) != chinese:
            problems.append(f"the catalogue's Chinese for {english!r} is "
                            f"{slots.get(slot + CHINESE_SLOT_OFFSET)!r}, not {chinese!r}")
        pairs.append((english, chinese))
    return pairs


def main(readme, texts, version):
    problems = []
    with open(readme, "rb") as f:
        data = f.read()
    if not data.startswith(BOM):
        problems.append("no UTF-8 byte-order mark")
    try:
        text = data[len(BOM):].decode("utf-8") if data.startswith(BOM) else data.decode("utf-8")
    except UnicodeDecodeError as e:
        print(f"not UTF-8: {e}\nFAILED")
        return 1
    bare = len(re.findall(r"(?<!\r)\n", text)) + len(re.findall(r"\r(?!\n)", text))
    if bare or not text.endswith("\r\n"):
        problems.append(f"{bare} line ends that are not CRLF" + ("" if text.endswith("\r\n") else ", no final CRLF"))
    if version not in text or "@" in text:
        problems.append(f"version {version} not named, or a template variable left")
    for english, chinese in quoted_messages(catalogue(texts), problems):
        for message in (english, chinese):
            # A whole line (or lines), or one of a list "A / B / C": "try again." must not be
            # taken for found inside "try again...".
            lines = message.replace("\n", "\r\n")
            quoted = rf"(?:^|/ ){re.escape(lines)}(?: /|\r$)"
            if not re.search(quoted, text, re.MULTILINE):
                problems.append(f"message not quoted: {message!r}")
    for p in problems:
        print(p)
    print("ok" if not problems else "FAILED")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        print(__doc__)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))

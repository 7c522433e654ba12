// The catalogue's texts, checked against the texts as written in UTF-8 and converted back from
// the Big5 bytes by the C library's own converter, so a wrong byte in the build-time encoding
// cannot hide behind the same conversion on both sides.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "app/message_texts.h"
#include "app/messages.h"

namespace {

struct Entry {
    MessageId id;
    const char* english;
    const char* chinese;  // UTF-8
};

const Entry kEntries[] = {
    {0, "Warning - no following argument!!\n", "警告 - no following argument!!\n"},
    {1, "Get device descriptor error!!\n", "獲取設備描述符的錯誤!!\n"},
    {2, "Device found!!\n", "設備發現!!\n"},
    {3, "Device not found!!\nEnd program...\n", "設備未找到!!\n結束 程序...\n"},
    {4, "Loading firmware...\n", "固件裝載中...\n"},
    {5, "Loading firmware (find resource) error!!\n", "加載固件（查找資源）錯誤!!\n"},
    {6, "Loading firmware (load resource) error!!\n", "加載固件（負載資源）錯誤!!\n"},
    {7, "Loading firmware (lock resource) error!!\n", "加載固件（鎖定資源）錯誤!!\n"},
    {8, "Loading firmware (resource length is zero) error!!\n", "加載固件（資源長度為零）錯誤!!\n"},
    {9, "\n", "\n"},
    {10, "Checking firmware...\n", "Checking firmware...\n"},
    {11, "Device is busy... Please wait...\n", "設備忙碌中... 請稍候...\n"},
    {12, "Check device status error!!\n", "檢查設備狀態錯誤!!\n"},
    {13, "Device is not responsed!!\n", "設備未得到回覆!!\n"},
    {14, "Sending firmware...\n", "發送韌體...\n"},
    {15, "Send FW command error!!\n", "發送韌體命令錯誤!!\n"},
    {16, "Send FW data error!!\n", "發送韌體數據錯誤!!\n"},
    {17, "FW Upgrade! Please wait...\n", "韌體升級，請稍候...\n"},
    {18, "Please reboot Scanner... \n", "請重啟掃描器...\n"},
    {19, "Burning firmware done!!\n", "升級韌體完畢!!\n"},
    {20, "Burning firmware error!!\n", "升級韌體錯誤!!\n"},
    {21, "USB timeout error!!\n", "USB超時錯誤!!\n"},
    {22, "Get USB overlapped result error!!\n", "獲取USB重疊結果錯誤!!\n"},
    {23, "Write to USB error!!\n", "寫入USB錯誤!!\n"},
    {24, "Read from USB error!!\n", "讀取USB錯誤!!\n"},
    {25, "Request and return USB data size not matched!!\n", "請求與並返回USB數據大小不匹配!!\n"},
    {26, "Failed to close WIA!! Please restart your computer and update again!!\n",
     "關閉WIA失敗!! 請重新啟動電腦，再更新一次!!\n"},
    {27, "Close WIA!! Please wait...\n", "關閉WIA!! 請稍候...\n"},
    {28, "During firmware update, please make sure device power is satble.\n",
     "在韌體更新期間，請確保設備電源穩定。\n"},
    {29,
     "The Tarvo Scan application is currently in use with another task or another user on this computer.  Please "
     "wait until the other task is complete and then try again.\n",
     "Tarvo Scan 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。\n"},
    {30,
     "The Tarvo Scan application is currently in use with another task or another user on this computer.  Please "
     "wait until the other task is complete and then try again...\n",
     "Tarvo Scan 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。。。\n"},
    {31,
     "The ZQW application is currently in use with another task or another user on this computer.  Please wait "
     "until the other task is complete and then try again.\n",
     "ZQW 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。\n"},
    {32,
     "Failed to restore WIA!! Please set the Windows Image Acquisition service to Automatic and restart your "
     "computer!!\n",
     "恢復WIA失敗!! 請將 Windows Image Acquisition 服務設為自動，並重新啟動電腦!!\n"},
    {33, "Failed to start WIA!! Please restart your computer!!\n", "啟動WIA失敗!! 請重新啟動電腦!!\n"},
    {34, "Access denied!! Please run this program as administrator!!\n", "存取被拒!! 請以系統管理員身分執行本程式!!\n"},
    {35, "Update cancelled!!\n", "更新已取消!!\n"},
    {36, "Do not close this window or turn off the scanner until the update is done!!\n",
     "更新完成前，請勿關閉此視窗或關閉掃描器電源!!\n"},
    {37, "Press any key to exit...\n", "請按任意鍵結束...\n"},
    {38, "Another firmware update is running on this computer!! Please wait until it has finished.\n",
     "此電腦上已有另一個韌體更新正在執行!! 請等它完成後再試。\n"},
    {39, "Checking firmware error!! This updater is damaged: please download it again!!\n",
     "檢查韌體錯誤!! 此更新程式已損毀，請重新下載!!\n"},
};

std::string Cp950ToUtf8(const std::string& big5) {
    iconv_t cd = iconv_open("UTF-8", "CP950");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << "the C library has no CP950 converter";
    std::string out(big5.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(big5.data());
    size_t inLeft = big5.size();
    char* o = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &in, &inLeft, &o, &outLeft);
    iconv_close(cd);
    EXPECT_NE(rc, static_cast<size_t>(-1)) << "not valid CP950";
    out.resize(out.size() - outLeft);
    return out;
}

std::string Printed(MessageId id, uint16_t language) {
    testing::internal::CaptureStdout();
    PrintMessage(id, language);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(Catalogue, EnglishTextsAreExact) {
    ASSERT_EQ(std::size(kEntries), static_cast<size_t>(MESSAGE_COUNT));
    for (const Entry& e : kEntries) {
        ASSERT_NE(MessageText(e.id, LANGUAGE_ENGLISH), nullptr) << e.id;
        EXPECT_STREQ(MessageText(e.id, LANGUAGE_ENGLISH), e.english) << "message " << e.id;
    }
}

TEST(Catalogue, ChineseTextsAreBig5OfTheWrittenTexts) {
    for (const Entry& e : kEntries) {
        const char* big5 = MessageText(e.id, LANGUAGE_CHINESE);
        ASSERT_NE(big5, nullptr) << e.id;
        EXPECT_EQ(Cp950ToUtf8(big5), e.chinese) << "message " << e.id;
    }
}

TEST(Catalogue, ChineseTextsAreNotUtf8) {
    // A build that lost the execution character set would print UTF-8 and still read back right
    // through a lenient converter; the Big5 of these characters is shorter than their UTF-8.
    for (const Entry& e : kEntries) {
        if (std::string(e.english) == e.chinese)
            continue;
        EXPECT_LT(std::string(MessageText(e.id, LANGUAGE_CHINESE)).size(), std::string(e.chinese).size())
            << "message " << e.id;
    }
}

TEST(Catalogue, EveryPrintAddsOneLineFeedAfterTheText) {
    for (const Entry& e : kEntries) {
        for (uint16_t language : {LANGUAGE_ENGLISH, LANGUAGE_CHINESE}) {
            std::string expected = std::string(MessageText(e.id, language)) + "\n";
            EXPECT_EQ(Printed(e.id, language), expected) << "message " << e.id << " language " << language;
        }
    }
}

TEST(Catalogue, MessageTenIsEnglishInBothLanguages) {
    EXPECT_EQ(Printed(MSG_CHECKING_FIRMWARE, LANGUAGE_CHINESE), "Checking firmware...\n\n");
    EXPECT_EQ(Printed(MSG_DEVICE_NOT_FOUND, LANGUAGE_ENGLISH), "Device not found!!\nEnd program...\n\n");
}

TEST(Catalogue, SlotsOutsideTheContractAreEmpty) {
    struct Case {
        MessageId id;
        uint16_t language;
    } cases[] = {{-1, 0}, {40, 0}, {99, 0}, {0, 2}, {37, 7}, {200, 1}};
    for (const Case& c : cases) {
        EXPECT_EQ(MessageText(c.id, c.language), nullptr) << c.id << "/" << c.language;
        EXPECT_EQ(Printed(c.id, c.language), "") << c.id << "/" << c.language;
    }
    for (int slot = 40; slot < 100; ++slot) EXPECT_EQ(CatalogueSlot(slot), nullptr) << slot;
    EXPECT_EQ(CatalogueSlot(140), nullptr);
}

TEST(Catalogue, ProgressTitles) {
    const std::string big5Title = "\xB6\xB4\xC5\xE9\xA7\xF3\xB7\x73\xA4\xA4";
    EXPECT_EQ(ProgressTitle(LANGUAGE_CHINESE), big5Title);
    EXPECT_EQ(CompletionTitle(LANGUAGE_CHINESE), big5Title);
    EXPECT_STREQ(ProgressTitle(LANGUAGE_ENGLISH), "Burning firmware");
    EXPECT_STREQ(CompletionTitle(LANGUAGE_ENGLISH), "Burning firmware. Please wait");
}

}  // namespace

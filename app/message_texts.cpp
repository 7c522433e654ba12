// The catalogue texts. This file is UTF-8 and is compiled with -fexec-charset=CP950, so every
// narrow literal in it becomes Big5 bytes at build time; nothing is converted at run time. Keep
// it a table alone: any other narrow literal here would be re-encoded too.
#include "app/message_texts.h"

namespace {

constexpr int CATALOGUE_SLOTS = 140;

// Slot = id + 100 * language. Slots 40..99 stay empty.
// The table keeps one text a line, in slot order, as the catalogue is read.
// clang-format off
const char* const kCatalogue[CATALOGUE_SLOTS] = {
    /*   0 */ "Warning - no following argument!!\n",
    /*   1 */ "Get device descriptor error!!\n",
    /*   2 */ "Device found!!\n",
    /*   3 */ "Device not found!!\nEnd program...\n",
    /*   4 */ "Loading firmware...\n",
    /*   5 */ "Loading firmware (find resource) error!!\n",
    /*   6 */ "Loading firmware (load resource) error!!\n",
    /*   7 */ "Loading firmware (lock resource) error!!\n",
    /*   8 */ "Loading firmware (resource length is zero) error!!\n",
    /*   9 */ "\n",
    /*  10 */ "Checking firmware...\n",
    /*  11 */ "Device is busy... Please wait...\n",
    /*  12 */ "Check device status error!!\n",
    /*  13 */ "Device is not responsed!!\n",
    /*  14 */ "Sending firmware...\n",
    /*  15 */ "Send FW command error!!\n",
    /*  16 */ "Send FW data error!!\n",
    /*  17 */ "FW Upgrade! Please wait...\n",
    /*  18 */ "Please reboot Scanner... \n",
    /*  19 */ "Burning firmware done!!\n",
    /*  20 */ "Burning firmware error!!\n",
    /*  21 */ "USB timeout error!!\n",
    /*  22 */ "Get USB overlapped result error!!\n",
    /*  23 */ "Write to USB error!!\n",
    /*  24 */ "Read from USB error!!\n",
    /*  25 */ "Request and return USB data size not matched!!\n",
    /*  26 */ "Failed to close WIA!! Please restart your computer and update again!!\n",
    /*  27 */ "Close WIA!! Please wait...\n",
    /*  28 */ "During firmware update, please make sure device power is satble.\n",
    /*  29 */ "The Tarvo Scan application is currently in use with another task or another user on this computer.  Please wait until the other task is complete and then try again.\n",
    /*  30 */ "The Tarvo Scan application is currently in use with another task or another user on this computer.  Please wait until the other task is complete and then try again...\n",
    /*  31 */ "The ZQW application is currently in use with another task or another user on this computer.  Please wait until the other task is complete and then try again.\n",
    /*  32 */ "Failed to restore WIA!! Please set the Windows Image Acquisition service to Automatic and restart your computer!!\n",
    /*  33 */ "Failed to start WIA!! Please restart your computer!!\n",
    /*  34 */ "Access denied!! Please run this program as administrator!!\n",
    /*  35 */ "Update cancelled!!\n",
    /*  36 */ "Do not close this window or turn off the scanner until the update is done!!\n",
    /*  37 */ "Press any key to exit...\n",
    /*  38 */ "Another firmware update is running on this computer!! Please wait until it has finished.\n",
    /*  39 */ "Checking firmware error!! This updater is damaged: please download it again!!\n",
    /* 40..99: empty */
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    /* 100 */ "警告 - no following argument!!\n",
    /* 101 */ "獲取設備描述符的錯誤!!\n",
    /* 102 */ "設備發現!!\n",
    /* 103 */ "設備未找到!!\n結束 程序...\n",
    /* 104 */ "固件裝載中...\n",
    /* 105 */ "加載固件（查找資源）錯誤!!\n",
    /* 106 */ "加載固件（負載資源）錯誤!!\n",
    /* 107 */ "加載固件（鎖定資源）錯誤!!\n",
    /* 108 */ "加載固件（資源長度為零）錯誤!!\n",
    /* 109 */ "\n",
    /* 110: message 10 prints in English whatever the language */
    "Checking firmware...\n",
    /* 111 */ "設備忙碌中... 請稍候...\n",
    /* 112 */ "檢查設備狀態錯誤!!\n",
    /* 113 */ "設備未得到回覆!!\n",
    /* 114 */ "發送韌體...\n",
    /* 115 */ "發送韌體命令錯誤!!\n",
    /* 116 */ "發送韌體數據錯誤!!\n",
    /* 117 */ "韌體升級，請稍候...\n",
    /* 118 */ "請重啟掃描器...\n",
    /* 119 */ "升級韌體完畢!!\n",
    /* 120 */ "升級韌體錯誤!!\n",
    /* 121 */ "USB超時錯誤!!\n",
    /* 122 */ "獲取USB重疊結果錯誤!!\n",
    /* 123 */ "寫入USB錯誤!!\n",
    /* 124 */ "讀取USB錯誤!!\n",
    /* 125 */ "請求與並返回USB數據大小不匹配!!\n",
    /* 126 */ "關閉WIA失敗!! 請重新啟動電腦，再更新一次!!\n",
    /* 127 */ "關閉WIA!! 請稍候...\n",
    /* 128 */ "在韌體更新期間，請確保設備電源穩定。\n",
    /* 129 */ "Tarvo Scan 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。\n",
    /* 130 */ "Tarvo Scan 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。。。\n",
    /* 131 */ "ZQW 應用程序當前正在與此計算機上的其他任務或其他用戶一起使用。 請等到其他任務完成後再試。\n",
    /* 132 */ "恢復WIA失敗!! 請將 Windows Image Acquisition 服務設為自動，並重新啟動電腦!!\n",
    /* 133 */ "啟動WIA失敗!! 請重新啟動電腦!!\n",
    /* 134 */ "存取被拒!! 請以系統管理員身分執行本程式!!\n",
    /* 135 */ "更新已取消!!\n",
    /* 136 */ "更新完成前，請勿關閉此視窗或關閉掃描器電源!!\n",
    /* 137 */ "請按任意鍵結束...\n",
    /* 138 */ "此電腦上已有另一個韌體更新正在執行!! 請等它完成後再試。\n",
    /* 139 */ "檢查韌體錯誤!! 此更新程式已損毀，請重新下載!!\n",
};
// clang-format on

const char kProgressTitleEnglish[] = "Burning firmware";
const char kCompletionTitleEnglish[] = "Burning firmware. Please wait";
const char kTitleChinese[] = "韌體更新中";

}  // namespace

const char* CatalogueSlot(int slot) {
    if (slot < 0 || slot >= CATALOGUE_SLOTS)
        return nullptr;
    return kCatalogue[slot];
}

const char* ProgressTitle(unsigned language) {
    return language == 1 ? kTitleChinese : kProgressTitleEnglish;
}

const char* CompletionTitle(unsigned language) {
    return language == 1 ? kTitleChinese : kCompletionTitleEnglish;
}

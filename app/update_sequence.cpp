#include "app/update_sequence.h"

#include <cstdio>
#include <cstring>

#include "app/message_texts.h"
#include "app/messages.h"
#include "device/channel.h"
#include "device/protocol.h"
#include "firmware/firmware_image.h"
#include "host/app_lock.h"
#include "host/wia_control.h"

namespace {

constexpr const char* PROGRESS_FORMAT_SIX_DOTS = "\r%s...... (%d%%)   ";
constexpr const char* PROGRESS_FORMAT_NINE_DOTS = "\r%s......... (%d%%)";
constexpr const char* PROGRESS_FORMAT_THREE_DOTS = "\r%s... (%d%%)      ";
constexpr const char* COMPLETION_FORMAT = "\r%s... (100%%)        \n";
constexpr int FIRST_POLL = 1;

// What one update works with; the command and reply records are reused for every exchange.
struct Update {
    HANDLE device;
    CommandBlock command;
    DeviceReply reply;
    uint8_t modelCode;
    FirmwareChoice choice;
    FirmwareImage image;
};

void Say(MessageId id) { PrintMessage(id, MessageLanguage); }

// Every ending after the locks were asked for gives them back before saying why it ended.
void EndWithMessage(MessageId id) {
    ReleaseApplicationLocks();
    Say(id);
}

// Polls until the scanner is free. Returns false when the update has ended; otherwise
// `takeLocks` tells whether the scanner came free in the state that wants the locks.
bool ReadyWait(Update& u, bool& takeLocks) {
    std::memset(&u.reply, 0, sizeof u.reply);
    u.command = MakeStatusQuery(SUBCODE_BEFORE_DOWNLOAD);
    const DWORD startTick = GetTickCount();
    for (;;) {
        // Unsigned difference: survives the tick count's wrap at 2^32.
        if (static_cast<DWORD>(GetTickCount() - startTick) >= READY_DEADLINE_MS) {
            Say(MSG_NOT_RESPONDED);
            return false;
        }
        if (!ExchangeCommand(u.device, u.command, u.reply)) {
            Say(MSG_STATUS_ERROR);
            return false;
        }
        u.modelCode = ReplyModelCode(u.reply);
        const uint16_t state = ReplyDeviceState(u.reply);
        if (state == DEVICE_STATE_IDLE || state == DEVICE_STATE_READY) {
            takeLocks = state == DEVICE_STATE_IDLE;
            return true;
        }
        Say(MSG_DEVICE_BUSY);
        Sleep(BUSY_RETRY_MS);
    }
}

bool TakeLocks() {
    MessageId failure;
    if (!FindFriendlyName())
        failure = MSG_SCANNER_NOT_REGISTERED;
    else if (!LockScanApplication())
        failure = MSG_SCAN_APP_BUSY;
    else if (!LockSecondApplication())
        failure = MSG_SECOND_APP_BUSY;
    else
        return true;
    EndWithMessage(failure);
    return false;
}

bool LoadImage(Update& u) {
    u.choice = SelectFirmwareImage(u.modelCode);
    Say(MSG_LOADING_FIRMWARE);
    u.image = LoadFirmwareImage(u.choice.resourceId);
    if (!u.image.loaded) {
        EndWithMessage(u.image.failure);
        return false;
    }
    std::fputs("\n", stdout);
    Say(MSG_CHECKING_FIRMWARE);
    Say(MSG_SENDING_FIRMWARE);
    return true;
}

bool Download(Update& u) {
    u.command = MakeDownloadCommand(u.choice.imageKind, u.image.length);
    if (!ExchangeCommand(u.device, u.command, u.reply) || ReplyResultCode(u.reply) == RESULT_REFUSED) {
        EndWithMessage(MSG_COMMAND_ERROR);
        return false;
    }
    // Straight from the mapped resource, in one write: the image is never copied.
    if (!WriteDeviceData(u.device, u.image.data, u.image.length)) {
        EndWithMessage(MSG_DATA_ERROR);
        return false;
    }
    Sleep(POST_WRITE_PAUSE_MS);
    Say(MSG_UPGRADE_WAIT);
    Say(MSG_KEEP_POWER_STABLE);
    return true;
}

bool Burning(const DeviceReply& reply) {
    return ReplyResultCode(reply) != RESULT_REFUSED && ReplyDeviceState(reply) == DEVICE_STATE_BURNING;
}

bool Finished(const DeviceReply& reply) {
    const uint16_t state = ReplyDeviceState(reply);
    return ReplyResultCode(reply) != RESULT_REFUSED && (state == DEVICE_STATE_IDLE || state == DEVICE_STATE_READY);
}

void Progress(Update& u) {
    u.command = MakeStatusQuery(SUBCODE_AFTER_DOWNLOAD);
    int32_t poll = FIRST_POLL;
    bool answered = ExchangeCommand(u.device, u.command, u.reply);
    // No deadline: the scanner decides how long burning takes.
    while (answered && Burning(u.reply)) {
        std::printf(ProgressFormat(poll), ProgressTitle(MessageLanguage), ReplyProgressPercent(u.reply));
        std::fflush(stdout);
        Sleep(PROGRESS_POLL_MS);
        // Wraps instead of overflowing; the dot pattern only needs the counter's residues.
        poll = static_cast<int32_t>(static_cast<uint32_t>(poll) + 1u);
        answered = ExchangeCommand(u.device, u.command, u.reply);
    }
    if (answered && Finished(u.reply)) {
        std::printf(COMPLETION_FORMAT, CompletionTitle(MessageLanguage));
        Sleep(COMPLETION_PAUSE_MS);
        Say(MSG_BURN_DONE);
        ReleaseApplicationLocks();
    } else {
        EndWithMessage(MSG_BURN_ERROR);
    }
}

}  // namespace

const char* ProgressFormat(int pollCounter) {
    if (pollCounter % 2 == 0) return PROGRESS_FORMAT_SIX_DOTS;
    if (pollCounter % 3 == 0) return PROGRESS_FORMAT_NINE_DOTS;
    return PROGRESS_FORMAT_THREE_DOTS;
}

void UpdateSequence(HANDLE device) {
    CWIAControl wia;
    bool wiaWasActive = false;
    Say(MSG_CLOSING_WIA);
    if (!wia.StopAndDisable(wiaWasActive)) {
        Say(MSG_WIA_CLOSE_FAILED);
        Sleep(SERVICE_FAILURE_PAUSE_MS);
        return;
    }

    Update u{};
    u.device = device;
    bool takeLocks = false;
    if (ReadyWait(u, takeLocks) && (!takeLocks || TakeLocks()) && LoadImage(u) && Download(u)) Progress(u);

    // The restore's own result changes nothing for the user: the update has already ended.
    if (wiaWasActive) wia.RestoreService();
}

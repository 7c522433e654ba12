#include "app/update_sequence.h"

#include <cstdio>
#include <cstring>

#include "app/console_control.h"
#include "app/message_texts.h"
#include "app/messages.h"
#include "device/channel.h"
#include "device/protocol.h"
#include "firmware/firmware_image.h"
#include "firmware/image_check.h"
#include "host/app_lock.h"
#include "host/wia_control.h"
#include "pause/pause.h"

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

// How a step of the update ended.
enum class Step {
    Next,       // go on with the next step
    Ended,      // the update ended; its message is printed and the locks are released
    Cancelled,  // the user cancelled before the download command went to the scanner
    Closed,     // the console closed while the scanner burns
};

void Say(MessageId id) {
    PrintMessage(id, MessageLanguage);
}

// Every ending after the locks were asked for gives them back before saying why it ended.
void EndWithMessage(MessageId id) {
    ReleaseApplicationLocks();
    Say(id);
}

// Polls until the scanner is free. On Next, `takeLocks` tells whether the scanner came free in
// the state that wants the locks.
Step ReadyWait(Update& u, bool& takeLocks) {
    std::memset(&u.reply, 0, sizeof u.reply);
    u.command = MakeStatusQuery(SUBCODE_BEFORE_DOWNLOAD);
    const DWORD startTick = GetTickCount();
    for (;;) {
        // Unsigned difference: survives the tick count's wrap at 2^32.
        if (static_cast<DWORD>(GetTickCount() - startTick) >= READY_DEADLINE_MS) {
            Say(MSG_NOT_RESPONDED);
            return Step::Ended;
        }
        if (CancelRequested())
            return Step::Cancelled;
        if (!ExchangeCommand(u.device, u.command, u.reply)) {
            Say(MSG_STATUS_ERROR);
            return Step::Ended;
        }
        u.modelCode = ReplyModelCode(u.reply);
        const uint16_t state = ReplyDeviceState(u.reply);
        if (state == DEVICE_STATE_IDLE || state == DEVICE_STATE_READY) {
            takeLocks = state == DEVICE_STATE_IDLE;
            return Step::Next;
        }
        Say(MSG_DEVICE_BUSY);
        if (!Pause(BUSY_RETRY_MS))
            return Step::Cancelled;
    }
}

Step TakeLocks() {
    if (CancelRequested())
        return Step::Cancelled;
    MessageId failure;
    bool keyAccessDenied = false;
    if (!FindFriendlyName(&keyAccessDenied))
        failure = MSG_SCANNER_NOT_REGISTERED;
    else if (!LockScanApplication())
        failure = MSG_SCAN_APP_BUSY;
    else if (!LockSecondApplication())
        failure = MSG_SECOND_APP_BUSY;
    else
        return CancelRequested() ? Step::Cancelled : Step::Next;
    // A cancel also ends the lock attempts: it, not the lock, is why the update stops.
    if (CancelRequested())
        return Step::Cancelled;
    ReleaseApplicationLocks();
    // Without the rights the keys need, no entry can be found: say what would help.
    if (failure == MSG_SCANNER_NOT_REGISTERED && keyAccessDenied)
        Say(MSG_ACCESS_DENIED);
    Say(failure);
    return Step::Ended;
}

Step LoadImage(Update& u) {
    if (CancelRequested())
        return Step::Cancelled;
    u.choice = SelectFirmwareImage(u.modelCode);
    Say(MSG_LOADING_FIRMWARE);
    u.image = LoadFirmwareImage(u.choice.resourceId);
    if (!u.image.loaded) {
        EndWithMessage(u.image.failure);
        return Step::Ended;
    }
    std::fputs("\n", stdout);
    Say(MSG_CHECKING_FIRMWARE);
    // The image as this copy of the program carries it, against the digest the build took of the
    // same file: a copy damaged on a stick or a share must not write its damage into the flash.
    if (!ImageMatchesEmbeddedDigest(nullptr, u.choice.resourceId, u.image.data, u.image.length)) {
        EndWithMessage(MSG_FIRMWARE_DAMAGED);
        return Step::Ended;
    }
    Say(MSG_SENDING_FIRMWARE);
    return Step::Next;
}

Step Download(Update& u) {
    // The last moment a cancel can take effect: after this the scanner may be writing its flash.
    if (!EnterBurning())
        return Step::Cancelled;
    u.command = MakeDownloadCommand(u.choice.imageKind, u.image.length);
    if (!ExchangeCommand(u.device, u.command, u.reply) || ReplyResultCode(u.reply) == RESULT_REFUSED) {
        EndWithMessage(MSG_COMMAND_ERROR);
        return Step::Ended;
    }
    // Straight from the mapped resource, in one write: the image is never copied.
    if (!WriteDeviceData(u.device, u.image.data, u.image.length)) {
        EndWithMessage(MSG_DATA_ERROR);
        return Step::Ended;
    }
    // While the scanner burns, only a closing console cuts a pause short.
    if (!Pause(POST_WRITE_PAUSE_MS))
        return Step::Closed;
    Say(MSG_UPGRADE_WAIT);
    Say(MSG_KEEP_POWER_STABLE);
    return Step::Next;
}

bool Burning(const DeviceReply& reply) {
    return ReplyResultCode(reply) != RESULT_REFUSED && ReplyDeviceState(reply) == DEVICE_STATE_BURNING;
}

bool Finished(const DeviceReply& reply) {
    const uint16_t state = ReplyDeviceState(reply);
    return ReplyResultCode(reply) != RESULT_REFUSED && (state == DEVICE_STATE_IDLE || state == DEVICE_STATE_READY);
}

Step Progress(Update& u) {
    u.command = MakeStatusQuery(SUBCODE_AFTER_DOWNLOAD);
    int32_t poll = FIRST_POLL;
    bool answered = ExchangeCommand(u.device, u.command, u.reply);
    // No deadline: the scanner decides how long burning takes.
    while (answered && Burning(u.reply)) {
        PrintProgressLine(ProgressFormat(poll), ProgressTitle(MessageLanguage), ReplyProgressPercent(u.reply));
        if (!Pause(PROGRESS_POLL_MS))
            return Step::Closed;
        // Wraps instead of overflowing; the dot pattern only needs the counter's residues.
        poll = static_cast<int32_t>(static_cast<uint32_t>(poll) + 1u);
        answered = ExchangeCommand(u.device, u.command, u.reply);
    }
    // The scanner has stopped writing, whatever the outcome: the update is ending.
    EnterEnding();
    if (answered && Finished(u.reply)) {
        std::printf(COMPLETION_FORMAT, CompletionTitle(MessageLanguage));
        // A closing console only shortens this pause; the restore follows all the same.
        Pause(COMPLETION_PAUSE_MS);
        Say(MSG_BURN_DONE);
        ReleaseApplicationLocks();
    } else {
        EndWithMessage(MSG_BURN_ERROR);
    }
    return Step::Ended;
}

Step RunUpdate(Update& u) {
    bool takeLocks = false;
    Step step = ReadyWait(u, takeLocks);
    if (step == Step::Next && takeLocks)
        step = TakeLocks();
    if (step == Step::Next)
        step = LoadImage(u);
    if (step == Step::Next)
        step = Download(u);
    if (step == Step::Next)
        step = Progress(u);
    return step;
}

// Gives the service back with what the plan allows, and says so when that failed: without it the
// user's PC would be left with its imaging service disabled and nothing said.
void Restore(CWIAControl& wia, const RestorePlan& plan) {
    RestoreFailure failure = RestoreFailure::None;
    if (wia.RestoreService(plan, &failure))
        return;
    Say(failure == RestoreFailure::StartType ? MSG_WIA_RESTORE_FAILED : MSG_WIA_START_FAILED);
}

// The user cancelled before anything reached the scanner's flash: everything goes back as it was.
void EndCancelled(CWIAControl& wia, bool wiaWasActive) {
    const bool closing = AnswerRequests();
    ReleaseApplicationLocks();
    if (wiaWasActive) {
        RestorePlan plan;
        // A closing console leaves seconds, not the usual waits: the start is asked for, not watched.
        plan.stopWaitMs = closing ? CLOSE_STOP_WAIT_MS : SERVICE_WAIT_LIMIT_MS;
        plan.awaitRunning = !closing;
        Restore(wia, plan);
    }
    Say(MSG_UPDATE_CANCELLED);
}

// The console closes while the scanner burns: no start now, which the scanner might feel, but the
// start type goes back so that the service runs again from the next start of Windows.
void EndClosedWhileBurning(CWIAControl& wia, bool wiaWasActive) {
    AnswerRequests();
    ReleaseApplicationLocks();
    if (wiaWasActive) {
        RestorePlan plan;
        plan.startService = false;
        Restore(wia, plan);
    }
}

}  // namespace

const char* ProgressFormat(int pollCounter) {
    if (pollCounter % 2 == 0)
        return PROGRESS_FORMAT_SIX_DOTS;
    if (pollCounter % 3 == 0)
        return PROGRESS_FORMAT_NINE_DOTS;
    return PROGRESS_FORMAT_THREE_DOTS;
}

void UpdateSequence(HANDLE device) {
    CWIAControl wia;
    bool wiaWasActive = false;
    // A laptop must not sleep through the ten-minute wait or the burn.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    BeginControlledUpdate();
    Say(MSG_CLOSING_WIA);
    const int stopped = wia.StopAndDisable(wiaWasActive);
    if (CancelRequested()) {
        EndCancelled(wia, wiaWasActive);
    } else if (!stopped) {
        if (wia.m_accessDenied)
            Say(MSG_ACCESS_DENIED);
        Say(MSG_WIA_CLOSE_FAILED);
        // Nothing was changed that this path gives back; a cancel only spares the user the wait.
        if (!Pause(SERVICE_FAILURE_PAUSE_MS))
            Say(MSG_UPDATE_CANCELLED);
    } else {
        Update u{};
        u.device = device;
        switch (RunUpdate(u)) {
            case Step::Cancelled:
                EndCancelled(wia, wiaWasActive);
                break;
            case Step::Closed:
                EndClosedWhileBurning(wia, wiaWasActive);
                break;
            default:
                EnterEnding();
                if (wiaWasActive)
                    Restore(wia, RestorePlan{});
                break;
        }
    }
    EndControlledUpdate();
    SetThreadExecutionState(ES_CONTINUOUS);
}

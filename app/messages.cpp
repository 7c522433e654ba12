// Printing from the catalogue. The texts live in message_texts.cpp, which alone is compiled with
// a Big5 execution character set.
#include "app/messages.h"

#include <cstdio>

#include "app/message_texts.h"

uint16_t MessageLanguage = LANGUAGE_ENGLISH;

uint16_t MessageLanguageFor(uint16_t userLangId) {
    return userLangId == LANGID_CHINESE_TAIWAN ? LANGUAGE_CHINESE : LANGUAGE_ENGLISH;
}

const char* MessageText(MessageId id, uint16_t language) {
    if (id < 0 || id >= MESSAGE_COUNT || language > LANGUAGE_CHINESE)
        return nullptr;
    int slot = id + LANGUAGE_SLOT_STRIDE * language;
    return CatalogueSlot(slot);
}

void PrintMessage(MessageId id, uint16_t language) {
    const char* text = MessageText(id, language);
    if (text == nullptr)
        return;
    std::printf("%s\n", text);
}

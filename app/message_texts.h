// Raw access to the catalogue table: English texts at slots 0..37, Chinese at 100..137.
#pragma once

// The text stored at `slot`, or null for an empty or out-of-range slot.
const char* CatalogueSlot(int slot);

// The progress titles, in the language's narrow encoding.
const char* ProgressTitle(unsigned language);
const char* CompletionTitle(unsigned language);

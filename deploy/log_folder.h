// The folder of the records: made when missing, one pair of files a run, the newest kept.
#pragma once

#include <string>

#include "platform/win32.h"

// How many runs' records a folder keeps for one computer.
constexpr size_t KEPT_RECORDS = 20;

// `name` in `folder`, joined by the separator the folder's path uses ("\" unless it has only "/").
std::string PathIn(const std::string& folder, const std::string& name);
// Makes `folder` and whatever folders above it are missing. False with the error when it is not
// there afterwards.
bool MakeFolder(const std::string& folder, DWORD& error);
// "scanfw-deploy-<time>-<computer>", with "-2", "-3", ... when a record of that name is there.
std::string FreeRecordName(const std::string& folder, const std::string& compactTime, const std::string& computer);
// Writes `text` to a new file; false when it could not be written whole.
bool WriteNewFile(const std::string& path, const std::string& text);
// Deletes the oldest records of `computer` (both files of each) beyond the newest KEPT_RECORDS;
// the records of other computers in a shared folder are left alone.
void KeepNewestRecords(const std::string& folder, const std::string& computer);

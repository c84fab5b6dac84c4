#pragma once

#include <string>

// run-hotfix.exe /uninstall [LOG_SHARE]: puts back what the launcher kept.
//
// Checks every recorded install file before it changes anything: each must
// hold the original (left as it is) or a shipped file (to be taken back),
// and each file to be taken back must pass the check before the first copy
// with its kept copy in the shipped file's place; every kept copy must
// match its recorded digest. Then restores every kept file, deletes every
// file that was new, removes the store and, last, the hotfix's entry in
// Programs and Features. Logs each step in the exe's line format into
// "qx913hotfix2_uninstall_YYYYMMDD_hhmmss.log" in the temporary folder and
// copies that into share (when not empty) as the launcher copies a run's
// log. Started as the store's own copy, it runs a staged copy of itself
// instead (see store_launcher.h). Returns 0 when the hotfix was removed or
// the machine has no store, 1618 when a file in use stopped it, and 1
// otherwise, with one line on standard error.
int RunRemoval(const std::wstring& share);

// The removal from the store at storePath, with its log in logFolder: all
// of RunRemoval but the lock, finding the store, the share and the exit
// code's reading for deployment tools.
int RemoveFromStoreAt(const std::wstring& storePath, const std::wstring& logFolder, std::wstring& logPath);

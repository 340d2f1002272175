// Replacing a file that other processes may read and replace at the same
// time: the directory made first, a lock that one replacement holds at a
// time, and the new text put in place by one rename, so that a reader sees
// the old file or the new one, never half of one. Each failure is the
// operating system's text with its code (os_error), unless said otherwise.
#pragma once

#include <chrono>
#include <filesystem>
#include <string_view>

#include "src/base/error.hpp"
#include "src/base/owned_fd.hpp"

// mkdir -p: `dir` and every missing parent. Another process creating the
// same directory meanwhile is not a failure.
Result<void> make_directory_tree(const std::filesystem::path& dir);

// An exclusive flock on `lock_path`, created when missing and never opened
// through a link; the lock lasts as long as the returned descriptor. The
// file is left in place (a removed one would let two savers each lock a
// different file). Taken without blocking and polled until `wait` has
// passed, so that a save stuck elsewhere holds nobody up; then it fails with
// "{lock_path} held by another save for {wait} s" (seconds to one decimal).
// An open or flock failure is "lock {lock_path}: {os error}", one message.
Result<OwnedFd> take_save_lock(const std::filesystem::path& lock_path, std::chrono::milliseconds wait);

// `text` written to a new file beside `path`, "{path}.tmp.{pid}.{n}.{random}"
// (a name no other save, in this process or another, picks; created with
// O_EXCL and O_NOFOLLOW, so never a file already there nor through a link),
// then renamed over `path`. The temporary file is removed when a step fails.
Result<void> replace_file(const std::filesystem::path& path, std::string_view text);

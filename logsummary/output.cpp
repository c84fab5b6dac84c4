#include "output.h"

#include "support/standard_error.h"

#include <algorithm>

namespace {

constexpr std::size_t kWriteSize = 64 * 1024;

} // namespace

StandardOutput::StandardOutput() noexcept : handle_(::GetStdHandle(STD_OUTPUT_HANDLE)) {}

StandardOutput::~StandardOutput()
{
    Flush();
}

void StandardOutput::Write(std::string_view bytes)
{
    if (writeError_ != ERROR_SUCCESS) {
        return;
    }
    pending_ += bytes;
    if (pending_.size() >= kWriteSize) {
        Flush();
    }
}

void StandardOutput::Flush() noexcept
{
    if (writeError_ == ERROR_SUCCESS) {
        writeError_ = WriteAll(handle_, pending_);
    }
    pending_.clear();
}

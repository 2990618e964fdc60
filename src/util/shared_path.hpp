// The path of a data file, shared by the reader that opened it and by every
// record read from it. A database can hold millions of records per file, and
// a copy of the path in each would cost as much as a small value.
//
// The reference count is deliberately not atomic: every copy of one path is
// made and dropped by the thread that reads the database (under the Python
// interpreter lock, for records handed to Python), and an atomic count would
// add two locked instructions to every record.
#pragma once

#include <string>
#include <utility>

namespace tarnwick {

class SharedPath {
   public:
    explicit SharedPath(std::string text) : body_(new Body{1, std::move(text)}) {}

    SharedPath(const SharedPath& other) noexcept : body_(other.body_) { ++body_->count; }
    SharedPath(SharedPath&& other) noexcept : body_(std::exchange(other.body_, nullptr)) {}
    SharedPath& operator=(SharedPath other) noexcept {
        std::swap(body_, other.body_);
        return *this;
    }
    ~SharedPath() {
        if (body_ != nullptr && --body_->count == 0) delete body_;
    }

    const std::string& text() const noexcept { return body_->text; }
    const std::string& operator*() const noexcept { return body_->text; }

   private:
    struct Body {
        std::size_t count;
        const std::string text;
    };
    Body* body_;
};

}  // namespace tarnwick

#include "platform/Process.h"

#include <utility>

namespace platform {

// Moving hands over the child and its pipes; Release() is each system's own.
ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : id_(std::exchange(other.id_, -1)),
      process_(std::exchange(other.process_, -1)),
      input_(std::exchange(other.input_, -1)),
      output_(std::exchange(other.output_, -1)),
      nonBlocking_(other.nonBlocking_),
      status_(std::exchange(other.status_, std::nullopt)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Release();
    id_ = std::exchange(other.id_, -1);
    process_ = std::exchange(other.process_, -1);
    input_ = std::exchange(other.input_, -1);
    output_ = std::exchange(other.output_, -1);
    nonBlocking_ = other.nonBlocking_;
    status_ = std::exchange(other.status_, std::nullopt);
  }
  return *this;
}

}  // namespace platform

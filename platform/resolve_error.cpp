#include <string>

#include "platform/tcp_socket.h"

// The resolver's outcomes, the same words on every system.
namespace orvent {
namespace {

class ResolveCategoryImpl final : public std::error_category {
public:
  const char* name() const noexcept override { return "resolve"; }
  std::string message(int value) const override {
    switch (static_cast<ResolveError>(value)) {
      case ResolveError::NameNotFound:
        return "the name does not resolve";
      case ResolveError::TryAgain:
        return "the name server did not answer";
      case ResolveError::Failed:
        break;
    }
    return "the name could not be looked up";
  }
};

}  // namespace

const std::error_category& ResolveCategory() {
  static const ResolveCategoryImpl category;
  return category;
}

}  // namespace orvent

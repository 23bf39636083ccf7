#include "platform/service_notify.h"

namespace orvent {

// Windows has no notify socket: its service manager speaks through the
// service control dispatcher, which this program does not use. Nothing is
// sent and no watchdog is kept.
struct ServiceNotifier::Native {};

ServiceNotifier::ServiceNotifier() : native_(std::make_unique<Native>()) {}

ServiceNotifier::ServiceNotifier(const ServiceNotifySettings&) : native_(std::make_unique<Native>()) {}

ServiceNotifier::~ServiceNotifier() = default;

bool ServiceNotifier::Listening() const { return false; }

std::error_code ServiceNotifier::Notify(std::string_view) { return {}; }

}  // namespace orvent

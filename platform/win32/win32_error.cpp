#include <winsock2.h>

#include "platform/win32/win32_error.h"
#include "platform/win32/win32_text.h"

namespace orvent {
namespace {

// The conditions the program tests for, from the codes by which the system
// and Winsock report them.
std::errc ConditionOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
      return std::errc::no_such_file_or_directory;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_CANNOT_MAKE:
      return std::errc::permission_denied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
    case ERROR_PIPE_BUSY:
      return std::errc::device_or_resource_busy;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return std::errc::file_exists;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return std::errc::no_space_on_device;
    case ERROR_TOO_MANY_OPEN_FILES:
      return std::errc::too_many_files_open;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return std::errc::not_enough_memory;
    case ERROR_INVALID_HANDLE:
      return std::errc::bad_file_descriptor;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return std::errc::invalid_argument;
    case ERROR_DIRECTORY:
      return std::errc::not_a_directory;
    case ERROR_DIR_NOT_EMPTY:
      return std::errc::directory_not_empty;
    case ERROR_NOT_SAME_DEVICE:
      return std::errc::cross_device_link;
    case ERROR_FILENAME_EXCED_RANGE:
      return std::errc::filename_too_long;
    case ERROR_FILE_TOO_LARGE:
      return std::errc::file_too_large;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
      return std::errc::io_error;
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_NOT_READY:
      return std::errc::no_such_device;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
      return std::errc::not_supported;
    case ERROR_OPERATION_ABORTED:
      return std::errc::operation_canceled;
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
      return std::errc::timed_out;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
      return std::errc::broken_pipe;
    case WSAECONNREFUSED:
      return std::errc::connection_refused;
    case WSAETIMEDOUT:
      return std::errc::timed_out;
    case WSAENETUNREACH:
    case WSAENETDOWN:
      return std::errc::network_unreachable;
    case WSAEHOSTUNREACH:
    case WSAEHOSTDOWN:
      return std::errc::host_unreachable;
    case WSAECONNRESET:
      return std::errc::connection_reset;
    case WSAECONNABORTED:
      return std::errc::connection_aborted;
    case WSAENOTCONN:
      return std::errc::not_connected;
    case WSAEADDRINUSE:
      return std::errc::address_in_use;
    case WSAEADDRNOTAVAIL:
      return std::errc::address_not_available;
    case WSAEWOULDBLOCK:
      return std::errc::operation_would_block;
    case WSAEINPROGRESS:
      return std::errc::operation_in_progress;
    case WSAEINTR:
      return std::errc::interrupted;
    case WSAEMFILE:
      return std::errc::too_many_files_open;
    case WSAENOBUFS:
      return std::errc::no_buffer_space;
    case WSAEACCES:
      return std::errc::permission_denied;
    case WSAEINVAL:
      return std::errc::invalid_argument;
    case WSAESHUTDOWN:
      return std::errc::broken_pipe;
    case WSAENETRESET:
      return std::errc::network_reset;
    case WSAEISCONN:
      return std::errc::already_connected;
    case WSAEALREADY:
      return std::errc::connection_already_in_progress;
    case WSAENOTSOCK:
      return std::errc::not_a_socket;
    case WSAEAFNOSUPPORT:
      return std::errc::address_family_not_supported;
    case WSAEOPNOTSUPP:
      return std::errc::operation_not_supported;
    case WSAEMSGSIZE:
      return std::errc::message_size;
    case WSAEFAULT:
      return std::errc::bad_address;
    default:
      return std::errc{};
  }
}

class Win32CategoryImpl final : public std::error_category {
public:
  const char* name() const noexcept override { return "win32"; }

  std::string message(int value) const override {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(value), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message;
    if (length > 0 && text != nullptr) message = Narrow(std::wstring_view(text, length));
    if (text != nullptr) ::LocalFree(text);
    // The system's texts end in a full stop and a line break.
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.')) {
      message.pop_back();
    }
    return message.empty() ? "system error " + std::to_string(value) : message;
  }

  std::error_condition default_error_condition(int value) const noexcept override {
    const std::errc condition = ConditionOf(static_cast<DWORD>(value));
    if (condition == std::errc{}) return {value, *this};
    return std::make_error_condition(condition);
  }
};

}  // namespace

const std::error_category& Win32Category() {
  static const Win32CategoryImpl category;
  return category;
}

}  // namespace orvent

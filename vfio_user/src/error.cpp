#include "vfio_user/error.h"

#include <fmt/format.h>

#include <cstring>

namespace vfio_user {

namespace {

// An error number as text: "No buffer space available (os error 105)".
std::string errno_display(int errnum) { return IoError::os(errnum).display(); }

// An error number's diagnostic form is its symbolic name, as in ENOBUFS.
std::string errno_debug(int errnum) {
  const char* name = ::strerrorname_np(errnum);
  return name != nullptr ? std::string(name) : fmt::format("UnknownErrno({})", errnum);
}

// Escapes a message for a diagnostic form in double quotes.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string JsonError::display() const { return fmt::format("{} at line {} column {}", message, line, column); }

std::string JsonError::debug() const {
  return fmt::format("Error({}, line: {}, column: {})", quoted(message), line, column);
}

const char* Error::kind_name(Kind kind) {
  switch (kind) {
    case Kind::DeserializeCapabilites: return "DeserializeCapabilites";
    case Kind::StreamWrite: return "StreamWrite";
    case Kind::StreamRead: return "StreamRead";
    case Kind::SendWithFd: return "SendWithFd";
    case Kind::ReceiveWithFd: return "ReceiveWithFd";
    case Kind::SocketPathExists: return "SocketPathExists";
    case Kind::SocketBind: return "SocketBind";
    case Kind::SocketAccept: return "SocketAccept";
    case Kind::UnknownCommand: return "UnknownCommand";
    case Kind::UnsupportedCommand: return "UnsupportedCommand";
    case Kind::UnsupportedFeature: return "UnsupportedFeature";
    case Kind::Backend: return "Backend";
    case Kind::InvalidInput: return "InvalidInput";
    case Kind::UnexpectedNoReply: return "UnexpectedNoReply";
  }
  return "Unknown";
}

std::string Error::message() const {
  switch (kind_) {
    case Kind::DeserializeCapabilites:
      return "Error deserializing capabilities: " + std::get<JsonError>(value_).display();
    case Kind::StreamWrite: return "Error writing to stream: " + io_error().display();
    case Kind::StreamRead: return "Error reading from stream: " + io_error().display();
    case Kind::SendWithFd: return "Error writing with file descriptors: " + errno_display(errnum());
    case Kind::ReceiveWithFd: return "Error reading with file descriptors: " + errno_display(errnum());
    case Kind::SocketPathExists: return "Socket path already exists";
    case Kind::SocketBind: return "Error binding to socket: " + io_error().display();
    case Kind::SocketAccept: return "Error accepting connection: " + io_error().display();
    case Kind::UnknownCommand: return fmt::format("Unknown command: {}", std::get<std::uint16_t>(value_));
    case Kind::UnsupportedCommand:
      return fmt::format("Unsupported command: {}", command_name(std::get<Command>(value_)));
    case Kind::UnsupportedFeature: return "Unsupported feature";
    case Kind::Backend: return "Error from backend: " + io_error().debug();
    case Kind::InvalidInput: return "Invalid input";
    case Kind::UnexpectedNoReply:
      return fmt::format("No_reply bit unexpectedly set for command: {}", command_name(std::get<Command>(value_)));
  }
  return "Unknown error";
}

std::string Error::debug() const {
  const char* name = kind_name(kind_);
  switch (kind_) {
    case Kind::DeserializeCapabilites: return fmt::format("{}({})", name, std::get<JsonError>(value_).debug());
    case Kind::StreamWrite:
    case Kind::StreamRead:
    case Kind::SocketBind:
    case Kind::SocketAccept:
    case Kind::Backend: return fmt::format("{}({})", name, io_error().debug());
    case Kind::SendWithFd:
    case Kind::ReceiveWithFd: return fmt::format("{}({})", name, errno_debug(errnum()));
    case Kind::UnknownCommand: return fmt::format("{}({})", name, std::get<std::uint16_t>(value_));
    case Kind::UnsupportedCommand:
    case Kind::UnexpectedNoReply: return fmt::format("{}({})", name, command_name(std::get<Command>(value_)));
    case Kind::SocketPathExists:
    case Kind::UnsupportedFeature:
    case Kind::InvalidInput: return name;
  }
  return name;
}

}  // namespace vfio_user

// The system log. Every NSLog call becomes one line handed to a process-wide
// sink; by default the sink writes it to standard error with a timestamp and
// the process name. Tests and the simulator install their own sink.
//
// Lines from several threads never interleave: the sink is called for one
// line at a time. Once setLogSink returns, the previous sink is not called
// again, so a sink may capture state that dies right after it is replaced.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "Foundation/NSFormat.h"

namespace objc {

// Receives the formatted message, without timestamp or process name.
using LogSink = std::function<void(const std::string& line)>;

// Installs `sink` for the whole process; an empty sink restores the default.
// Raises when called from inside a sink.
void setLogSink(LogSink sink);

// Hands one formatted message to the sink. A message logged from inside a
// sink (which would otherwise wait for itself) goes to standard error.
void logLine(const std::string& message);

// printf-style, with %@ for objects; see objc::format.
template <class... A>
void NSLog(std::string_view format, const A&... args) {
  logLine(objc::format(format, args...));
}

}  // namespace objc

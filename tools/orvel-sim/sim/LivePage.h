// The live device page: the phone panel and the timeline of a running
// device at "/" on 127.0.0.1, brought up to date as records arrive (the
// page listens at "/events", server-sent events), with buttons for the
// control steps. What a button asks for reaches the control function as a
// scenario step in JSON, such as {"open": "latest"}; the function carries
// it out, and what it does comes back as records.
//
//   LivePage page("serve", "13.0", [&](const std::string& step) { ... });
//   recorder.subscribe([&](const Record& r) { page.add(r); });
//   std::cerr << "live page: " << page.address() << "\n";
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sim/Records.h"

namespace orvelsim {

class LivePage {
 public:
  // Called on a server thread, one step at a time; a std::exception it
  // throws is shown on the page as the reason the step was not carried out.
  using Control = std::function<void(const std::string& stepLine)>;

  // Serves the page of the run titled `title` on system `version` on
  // 127.0.0.1:`port` (0: a port the system picks). Throws when it cannot.
  LivePage(std::string title, std::string version, Control control, int port = 0);
  ~LivePage();
  LivePage(const LivePage&) = delete;
  LivePage& operator=(const LivePage&) = delete;

  int port() const;
  // "http://127.0.0.1:PORT/"
  std::string address() const;

  // Takes a record from any thread.
  void add(const Record& record);

  // The steps the buttons send, in the order they are shown.
  static const std::vector<std::string>& controlSteps();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace orvelsim

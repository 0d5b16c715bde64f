#include "sim/LivePage.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "sim/LoopbackServer.h"
#include "sim/Report.h"

namespace orvelsim {

namespace {

// Asks for the report again whenever the server says it changed, and sends
// what a button asks for. A "#press=N" in the address presses the Nth
// button once the page is up, which is how a browser without a pointer
// presses one.
const char* kLiveScript = R"(
(function(){
  var status=document.getElementById('live-status');
  function refresh(){
    fetch('/report').then(function(r){return r.text();}).then(function(html){
      document.getElementById('report').innerHTML=html;
      if(window.orvelNavigate)window.orvelNavigate(true);
    });
  }
  var source=new EventSource('/events?since='+document.body.getAttribute('data-records'));
  source.onmessage=refresh;
  var buttons=[].slice.call(document.querySelectorAll('#controls button[data-step]'));
  buttons.forEach(function(b){
    b.addEventListener('click',function(){
      fetch('/control',{method:'POST',body:b.getAttribute('data-step')}).then(function(r){
        return r.text().then(function(t){status.textContent=r.ok?'sent '+b.getAttribute('data-step'):t;});
      });
    });
  });
  var press=/#press=(\d+)/.exec(location.hash);
  if(press&&buttons[+press[1]])buttons[+press[1]].click();
})();
)";

// How long an events stream waits for a change, and how long the page
// waits before it connects again.
constexpr std::chrono::milliseconds kEventWait{250};
constexpr int kReconnectMilliseconds = 500;

}  // namespace

struct LivePage::Impl {
  Control control;
  std::mutex lock;
  std::condition_variable changed;
  ReportPage page;
  size_t records = 0;
  bool stopping = false;
  httplib::Server server;
  std::optional<LoopbackServer> running;

  std::string controls() const {
    std::string out = "<span class=\"live\">live</span> ";
    for (const std::string& step : controlSteps()) {
      Json parsed = Json::parse(step);
      std::string label = parsed.begin().key() + " " +
                          (parsed.begin()->is_string() ? parsed.begin()->get<std::string>() : parsed.begin()->dump());
      out += "<button type=\"button\" data-step=\"" + escapeHtml(step) + "\">" + escapeHtml(label) + "</button>";
    }
    return out + " <span id=\"live-status\" role=\"status\"></span>";
  }
};

const std::vector<std::string>& LivePage::controlSteps() {
  static const std::vector<std::string> steps{
      R"({"open":"latest"})",     R"({"state":"active"})",   R"({"state":"background"})", R"({"state":"not-running"})",
      R"({"network":"offline"})", R"({"network":"online"})", R"({"advance":60})"};
  return steps;
}

LivePage::LivePage(std::string title, std::string version, Control control, int port)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.control = std::move(control);
  m.page.title = std::move(title);
  m.page.runs.emplace_back(std::move(version));

  m.server.Get("/", [&m](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> g(m.lock);
    std::string page = renderReportPage(m.page, m.controls(), kLiveScript);
    // What the page shows, for its first events stream.
    page.replace(page.find("<body>"), 6, "<body data-records=\"" + std::to_string(m.records) + "\">");
    res.set_content(page, "text/html; charset=utf-8");
  });
  m.server.Get("/report", [&m](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> g(m.lock);
    res.set_content(renderReportBody(m.page), "text/html; charset=utf-8");
  });
  // An event when records have come since the count the page has (its
  // last event's id, or "since" on the first connection); otherwise the
  // stream ends after a moment and the page connects again. Streams that
  // end keep no thread waiting for ever, and let a browser that waits for
  // the network to be idle (a headless one) see the page at rest.
  m.server.Get("/events", [&m](const httplib::Request& req, httplib::Response& res) {
    std::string last = req.get_header_value("Last-Event-ID");
    if (last.empty()) last = req.get_param_value("since");
    size_t known = static_cast<size_t>(-1);
    if (!last.empty() && last.find_first_not_of("0123456789") == std::string::npos && last.size() < 19)
      known = std::stoull(last);
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider("text/event-stream", [&m, known](size_t, httplib::DataSink& sink) {
      std::unique_lock<std::mutex> g(m.lock);
      m.changed.wait_for(g, kEventWait, [&] { return m.stopping || m.records != known; });
      std::string event = "retry: " + std::to_string(kReconnectMilliseconds) + "\n";
      if (!m.stopping && m.records != known) event += "id: " + std::to_string(m.records) + "\ndata: changed\n\n";
      g.unlock();
      sink.write(event.data(), event.size());
      sink.done();
      return true;
    });
  });
  m.server.Post("/control", [&m](const httplib::Request& req, httplib::Response& res) {
    Json step = Json::parse(req.body, nullptr, false);
    if (step.is_discarded() || !step.is_object() || step.size() != 1) {
      res.status = 400;
      res.set_content("not a step: send one JSON object with one key, such as {\"open\": \"latest\"}\n",
                      "text/plain; charset=utf-8");
      return;
    }
    try {
      m.control(step.dump());
      res.set_content("ok\n", "text/plain; charset=utf-8");
    } catch (const std::exception& e) {
      res.status = 422;
      res.set_content(std::string("the step was not carried out: ") + e.what() + "\n", "text/plain; charset=utf-8");
    }
  });
  // Each open page holds a connection for its events.
  m.server.new_task_queue = [] { return new httplib::ThreadPool(8); };
  m.running.emplace(m.server, port, "the live page");
}

LivePage::~LivePage() {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->stopping = true;
  }
  impl_->changed.notify_all();
  impl_->running.reset();
}

int LivePage::port() const { return impl_->running->port(); }

std::string LivePage::address() const { return "http://127.0.0.1:" + std::to_string(port()) + "/"; }

void LivePage::add(const Record& record) {
  {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->page.runs.back().add(record);
    ++impl_->records;
  }
  impl_->changed.notify_all();
}

}  // namespace orvelsim

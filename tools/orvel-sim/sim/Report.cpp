#include "sim/Report.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

#include "sim/Scenario.h"

namespace orvelsim {

namespace {

std::string text(const Json& object, const char* key) {
  if (!object.is_object()) return "";
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return "";
  return it->is_string() ? it->get<std::string>() : it->dump(-1, ' ', false, Json::error_handler_t::replace);
}

const Json& member(const Json& object, const char* key) {
  static const Json none;
  if (!object.is_object()) return none;
  auto it = object.find(key);
  return it == object.end() ? none : *it;
}

bool isImageType(const std::string& type) {
  return type == "public.png" || type == "public.jpeg" || type == "com.compuserve.gif";
}

}  // namespace

std::string escapeHtml(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  for (char c : in) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// ---- the phone ----

void PhoneModel::learn(const std::string& id, const std::string& title, const std::string& body) {
  if (id.empty()) return;
  Content& c = contents_[id];
  if (c.title.empty()) c.title = title;
  if (c.body.empty()) c.body = body;
}

PhoneNotification PhoneModel::notification(const std::string& id) const {
  PhoneNotification n;
  n.id = id;
  if (auto it = contents_.find(id); it != contents_.end()) {
    n.title = it->second.title;
    n.body = it->second.body;
    n.image = it->second.image;
  }
  return n;
}

void PhoneModel::learnPayload(const std::string& id, const Json& payload) {
  const Json& alert = member(member(payload, "aps"), "alert");
  if (alert.is_string()) {
    learn(id, "", alert.get<std::string>());
  } else {
    learn(id, text(alert, "title"), text(alert, "body"));
  }
}

void PhoneModel::add(const Record& r) {
  const Json& f = r.fields();
  if (r.kind == "step") {
    const std::string step = text(f, "step");
    const Json& value = member(f, "value");
    if (step == "push") {
      learnPayload(text(f, "id"), f.contains("payload") ? member(f, "payload") : value);
    } else if (step == "schedule") {
      const Json& content = member(value, "content");
      learn(text(value, "identifier"), text(content, "title"), text(content, "body"));
    } else if (step == "state" && value.is_string()) {
      stateAfterStep_ = value.get<std::string>();
    }
  } else if (r.kind == "provider" && f.contains("payload")) {
    learnPayload(text(f, "apns-id"), member(f, "payload"));
  } else if (r.kind == "os") {
    std::string state = text(f, "state");
    if (!state.empty()) state_.appState = state;
  } else if (r.kind == "badge") {
    const Json& value = member(f, "value");
    if (value.is_number_integer()) state_.badge = value.get<int64_t>();
  } else if (r.kind == "attachment" && text(f, "action") == "attached" && isImageType(text(f, "type"))) {
    contents_[text(f, "id")].image = text(f, "type");
  } else if (r.kind == "event" && text(f, "name") == "OrvelDidReceiveMessageNotification") {
    const Json& object = member(f, "object");
    const Json& n = member(object, "notification");
    learn(text(object, "identifier"), text(n, "title"), text(n, "body"));
  } else if (r.kind == "local") {
    const std::string list = text(f, "list"), action = text(f, "action");
    if (list != "delivered" && list != "notices") return;
    const std::string id = f.contains("request") ? text(f, "request") : text(f, "id");
    auto& delivered = state_.delivered;
    auto it = std::find_if(delivered.begin(), delivered.end(), [&](const auto& n) { return n.id == id; });
    if (action == "delivered" && it == delivered.end()) {
      delivered.insert(delivered.begin(), notification(id));
    } else if (action == "removed" && it != delivered.end()) {
      delivered.erase(it);
    } else if (action == "presented") {
      // A banner is shown before the notification is listed.
      bannerNext_ = id;
    }
    if (action == "delivered" && bannerNext_ == id) {
      auto listed = std::find_if(delivered.begin(), delivered.end(), [&](const auto& n) { return n.id == id; });
      if (listed != delivered.end()) listed->banner = true;
      bannerNext_.clear();
    }
  }
}

void PhoneModel::endStep() {
  if (stateAfterStep_) state_.appState = *stateAfterStep_;
  stateAfterStep_.reset();
  // A banner shows for the step it came in.
  for (auto& n : state_.delivered) n.banner = false;
}

// ---- a run ----

void RunReport::add(const Record& r) {
  if (r.kind == "step" || r.kind == "note" || steps_.empty()) {
    if (!steps_.empty()) {
      phone_.endStep();
      steps_.back().phone = phone_.state();
    }
    steps_.emplace_back();
    if (r.kind == "step" || r.kind == "note") {
      steps_.back().heading = r;
      phone_.add(r);
      steps_.back().phone = phone_.state();
      return;
    }
  }
  if (r.kind == "expect") {
    ++checked_;
    if (!r.fields().value("ok", false)) ++failed_;
  }
  if (r.kind == "error") stopped_ = r.fields().value("what", std::string());
  phone_.add(r);
  steps_.back().records.push_back(r);
  // Kept for the page as a tree alone, not a tree and the text it was read
  // from.
  steps_.back().records.back().fields();
  steps_.back().phone = phone_.state();
}

// ---- markup ----

namespace {

const char* kLanes[] = {"system", "library", "host", "observers"};
const char* kLaneTitles[] = {"system", "library", "host callbacks", "host observers"};

std::string timeText(double t) {
  char out[32];
  std::snprintf(out, sizeof out, "%.3f", t);
  return out;
}

// The records of one step that do not appear in every version's same step,
// by their text (each occurrence counted).
std::vector<std::vector<bool>> differences(const std::vector<const ReportStep*>& steps) {
  std::vector<std::multiset<std::string>> texts;
  for (const ReportStep* s : steps) {
    std::multiset<std::string> t;
    if (s)
      for (const Record& r : s->records) t.insert(r.kind + " " + describeRecord(r));
    texts.push_back(std::move(t));
  }
  std::vector<std::vector<bool>> out;
  for (size_t v = 0; v < steps.size(); ++v) {
    std::vector<bool> marks;
    if (steps[v]) {
      std::map<std::string, size_t> seen;
      for (const Record& r : steps[v]->records) {
        std::string key = r.kind + " " + describeRecord(r);
        size_t occurrence = ++seen[key];
        bool everywhere = true;
        for (size_t w = 0; w < steps.size(); ++w)
          if (w != v && texts[w].count(key) < occurrence) everywhere = false;
        marks.push_back(steps.size() > 1 && !everywhere);
      }
    }
    out.push_back(std::move(marks));
  }
  return out;
}

std::string renderLanes(const ReportStep& step, const std::vector<bool>& differs) {
  std::ostringstream out;
  out << "<table class=\"lanes\"><thead><tr><th class=\"t\">t</th>";
  for (const char* title : kLaneTitles) out << "<th>" << title << "</th>";
  out << "</tr></thead><tbody>";
  for (size_t i = 0; i < step.records.size(); ++i) {
    const Record& r = step.records[i];
    std::string lane = laneOf(r);
    std::string classes = "rec k-" + escapeHtml(r.kind);
    if (r.kind == "expect" && !r.fields().value("ok", false)) classes += " failed";
    if (r.kind == "error" || r.kind == "fault") classes += " failed";
    if (isLifecycle(r)) classes += " lifecycle";
    if (i < differs.size() && differs[i]) classes += " diff";
    out << "<tr class=\"" << classes << "\" data-kind=\"" << escapeHtml(r.kind) << "\"><td class=\"t\">"
        << timeText(r.t) << "</td>";
    std::string cell = "<td class=\"lane-" + lane + "\"" + (lane == "check" ? " colspan=\"4\"" : "") +
                       "><span class=\"kind\">" + escapeHtml(r.kind) + "</span> " +
                       escapeHtml(printable(describeRecord(r))) + "</td>";
    if (lane == "check") {
      out << cell;
    } else {
      for (const char* l : kLanes) out << (lane == l ? cell : std::string("<td></td>"));
    }
    out << "</tr>";
  }
  out << "</tbody></table>";
  return out.str();
}

// A picture, drawn: the report carries no files.
const char* kThumbnail =
    "<svg class=\"thumb\" viewBox=\"0 0 40 40\" role=\"img\" aria-label=\"image attachment\">"
    "<rect width=\"40\" height=\"40\" rx=\"6\" fill=\"#9ec5f8\"/><circle cx=\"28\" cy=\"12\" r=\"5\" fill=\"#fff6b0\"/>"
    "<path d=\"M0 34 L14 18 L24 28 L30 22 L40 32 L40 40 L0 40 Z\" fill=\"#3f7d4e\"/></svg>";

}  // namespace

std::string renderPhone(const PhoneState& phone) {
  std::ostringstream out;
  out << "<div class=\"phone\" data-state=\"" << escapeHtml(phone.appState) << "\" data-badge=\"" << phone.badge
      << "\"><div class=\"statusbar\">application: <b class=\"app-state\">" << escapeHtml(phone.appState)
      << "</b></div><div class=\"home\"><div class=\"icon\">App";
  if (phone.badge > 0) out << "<span class=\"badge\">" << phone.badge << "</span>";
  out << "</div><span class=\"badge-text\">badge " << (phone.badge > 0 ? std::to_string(phone.badge) : "none")
      << (phone.badge < 0 ? " (cleared)" : "") << "</span></div><ul class=\"notifications\">";
  if (phone.delivered.empty()) out << "<li class=\"empty\">no notifications</li>";
  for (const auto& n : phone.delivered) {
    out << "<li class=\"notification" << (n.banner ? " banner" : "") << "\" data-id=\"" << escapeHtml(n.id) << "\">";
    if (!n.image.empty()) out << kThumbnail;
    out << "<div class=\"words\">";
    if (!n.title.empty()) out << "<b class=\"title\">" << escapeHtml(printable(n.title)) << "</b>";
    out << "<span class=\"body\">" << escapeHtml(printable(n.body.empty() ? n.id : n.body)) << "</span>";
    out << "<small class=\"id\">" << escapeHtml(printable(n.id)) << (n.banner ? " · shown as a banner" : "")
        << "</small></div></li>";
  }
  out << "</ul></div>";
  return out.str();
}

std::string renderReportBody(const ReportPage& page) {
  std::ostringstream out;
  const size_t runs = page.runs.size();
  out << "<header><h1>" << escapeHtml(printable(page.title)) << "</h1><ul class=\"outcomes\">";
  for (const RunReport& run : page.runs) {
    out << "<li class=\"" << (run.expectationsFailed() || !run.stopped().empty() ? "bad" : "good") << "\">system "
        << escapeHtml(run.version()) << ": ";
    if (!run.stopped().empty()) {
      out << "the run stopped (" << escapeHtml(printable(run.stopped())) << ")";
    } else if (run.expectationsFailed()) {
      out << run.expectationsFailed() << " of " << run.expectationsChecked() << " expectations FAILED";
    } else if (run.expectationsChecked()) {
      out << "all " << run.expectationsChecked() << " expectations held";
    } else {
      out << "done";
    }
    out << "</li>";
  }
  out << "</ul></header>";

  size_t rows = 0;
  for (const RunReport& run : page.runs) rows = std::max(rows, run.steps().size());
  out << "<main id=\"steps\" style=\"--versions:" << std::max<size_t>(runs, 1) << "\">";
  for (size_t i = 0; i < rows; ++i) {
    std::vector<const ReportStep*> steps;
    const Record* heading = nullptr;
    for (const RunReport& run : page.runs) {
      const ReportStep* s = i < run.steps().size() ? &run.steps()[i] : nullptr;
      steps.push_back(s);
      if (s && s->heading && !heading) heading = &*s->heading;
    }
    std::vector<std::vector<bool>> marks = differences(steps);
    bool differs = std::any_of(marks.begin(), marks.end(),
                               [](const auto& m) { return std::find(m.begin(), m.end(), true) != m.end(); });
    bool failed = false;
    for (const ReportStep* s : steps)
      if (s)
        for (const Record& r : s->records)
          if ((r.kind == "expect" && !r.fields().value("ok", false)) || r.kind == "error") failed = true;
    bool note = heading && heading->kind == "note";
    out << "<section class=\"step" << (note ? " note" : "") << (differs ? " differs" : "")
        << (failed ? " has-failure" : "") << "\" id=\"step-" << i << "\" data-step=\"" << i << "\">";
    if (note) {
      out << "<p class=\"prose\">" << escapeHtml(printable(describeRecord(*heading))) << "</p>";
    } else {
      out << "<h2><span class=\"n\">" << i << "</span> ▶ "
          << escapeHtml(printable(heading ? describeRecord(*heading) : std::string("start"))) << "</h2>";
    }
    out << "<div class=\"versions\">";
    for (size_t v = 0; v < runs; ++v) {
      out << "<div class=\"run\" data-os=\"" << escapeHtml(page.runs[v].version()) << "\"><h3>system "
          << escapeHtml(page.runs[v].version()) << "</h3>";
      if (steps[v]) {
        out << renderPhone(steps[v]->phone);
        if (!steps[v]->records.empty()) out << renderLanes(*steps[v], marks[v]);
      } else {
        out << "<p class=\"missing\">not reached</p>";
      }
      out << "</div>";
    }
    out << "</div></section>";
  }
  out << "</main>";

  if (page.comparison) {
    const Comparison& c = *page.comparison;
    out << "<section id=\"comparison\"><h2>Compared across versions</h2><table class=\"compare\"><thead><tr><th>"
           "what</th>";
    for (const auto& v : c.versions) out << "<th>" << escapeHtml(v) << "</th>";
    out << "</tr></thead><tbody>";
    for (const auto& row : c.rows) {
      out << "<tr" << (row.differs ? " class=\"diff\"" : "") << "><td>" << escapeHtml(printable(row.what)) << "</td>";
      for (const auto& value : row.values) out << "<td>" << escapeHtml(printable(value)) << "</td>";
      out << "</tr>";
    }
    out << "</tbody></table></section>";
  }
  return out.str();
}

namespace {

const char* kStyle = R"(
*{box-sizing:border-box}
body{font:14px/1.4 system-ui,sans-serif;margin:0;color:#1d1d1f;background:#f5f5f7}
header,#controls,#nav{padding:8px 16px}
h1{font-size:20px;margin:4px 0}
.outcomes{list-style:none;padding:0;margin:0;display:flex;gap:16px}
.outcomes .good{color:#1a7f37}.outcomes .bad{color:#c62828;font-weight:bold}
#nav{position:sticky;top:0;background:#fff;border-bottom:1px solid #ddd;z-index:2;display:none}
#nav.on{display:block}
#nav .now{display:grid;grid-template-columns:repeat(var(--versions),1fr);gap:12px}
#nav input{width:60%}
.step{margin:8px 16px;padding:8px;background:#fff;border-radius:8px;border:1px solid #e0e0e0}
.step.note{background:transparent;border:none;padding:0 8px}
.step.note .versions{display:none}
.step.selected{outline:3px solid #0a84ff}
.step.differs{border-left:6px solid #f0a500}
.step.has-failure{border-left:6px solid #c62828}
.prose{font-style:italic;color:#444;margin:12px 0 0}
h2{font-size:15px;margin:0 0 6px}h2 .n{color:#888;font-weight:normal}
h3{font-size:12px;margin:0 0 4px;color:#666}
.versions{display:grid;grid-template-columns:repeat(var(--versions),minmax(0,1fr));gap:12px}
.run{min-width:0}
.run>.phone{max-width:320px;margin-bottom:6px}
.phone{border:2px solid #333;border-radius:18px;padding:8px;background:#fbfbfd;font-size:12px}
.statusbar{font-size:11px;color:#555;border-bottom:1px solid #ddd;padding-bottom:3px}
.home{display:flex;align-items:center;gap:8px;margin:6px 0}
.icon{position:relative;width:40px;height:40px;border-radius:9px;background:linear-gradient(#5ac8fa,#007aff);
color:#fff;font-weight:bold;display:flex;align-items:center;justify-content:center}
.badge{position:absolute;top:-7px;right:-9px;background:#ff3b30;color:#fff;border-radius:10px;min-width:20px;
padding:0 5px;font-size:12px;line-height:20px;text-align:center}
.notifications{list-style:none;padding:0;margin:0}
.notification{display:flex;gap:6px;background:#e9e9ee;border-radius:8px;padding:5px;margin-top:4px}
.notification.banner{background:#d7ebff}
.notification .words{display:flex;flex-direction:column;min-width:0}
.notification .id{color:#777}
.thumb{width:32px;height:32px;flex:none}
.empty{color:#999;font-style:italic}
table.lanes{border-collapse:collapse;width:100%;table-layout:fixed;font-size:12px}
table.lanes th{text-align:left;font-weight:600;color:#555;border-bottom:1px solid #ccc}
table.lanes th.t,table.lanes td.t{width:46px;color:#888}
table.lanes td{vertical-align:top;padding:1px 4px;overflow-wrap:anywhere;border-left:1px solid #eee}
td.lane-system{background:#f2f2f2}td.lane-library{background:#eef6ff}td.lane-host{background:#f3efff}
td.lane-observers{background:#eefaf0}td.lane-check{background:#fafafa}
.kind{font-size:10px;color:#888;text-transform:uppercase}
tr.lifecycle td{color:#888}
tr.failed td{background:#ffd7d7;color:#8b0000;font-weight:bold}
tr.diff td:not(.t):not(:empty){box-shadow:inset 0 0 0 2px #f0a500}
.missing{color:#999}
#comparison{margin:16px}
table.compare{border-collapse:collapse;background:#fff}
table.compare td,table.compare th{border:1px solid #ddd;padding:3px 8px;text-align:left}
table.compare tr.diff td{background:#fff3cd;font-weight:bold}
#controls{background:#1d1d1f;color:#fff}#controls button{margin-right:6px}
.live{color:#30d158;font-weight:bold}
)";

// Navigation only: a slider over the steps shows the phone after the
// chosen step at the top; the page reads the same without it.
const char* kScript = R"(
(function(){
  var nav=document.getElementById('nav'), slider=document.getElementById('slider');
  var label=document.getElementById('step-label'), now=document.getElementById('now');
  var steps=[];
  function show(i,scroll){
    steps.forEach(function(s){s.classList.remove('selected');});
    var s=steps[i]; if(!s)return;
    s.classList.add('selected');
    label.textContent=s.querySelector('h2').textContent;
    now.innerHTML='';
    [].forEach.call(s.querySelectorAll('.run'),function(run){
      var box=document.createElement('div');
      box.innerHTML='<h3>'+run.querySelector('h3').textContent+'</h3>';
      var phone=run.querySelector('.phone'); if(phone)box.appendChild(phone.cloneNode(true));
      now.appendChild(box);
    });
    if(scroll)s.scrollIntoView({block:'center'});
  }
  // Finds the steps again (the live page replaces them) and shows the
  // first, or with `last` the latest.
  window.orvelNavigate=function(last){
    steps=[].slice.call(document.querySelectorAll('.step:not(.note)'));
    if(!steps.length)return;
    nav.classList.add('on');
    slider.max=steps.length-1;
    steps.forEach(function(s,i){s.addEventListener('click',function(){slider.value=i;show(i,false);});});
    slider.value=last?steps.length-1:0; show(+slider.value,false);
  };
  slider.addEventListener('input',function(){show(+slider.value,true);});
  document.addEventListener('keydown',function(e){
    if(e.key!=='ArrowRight'&&e.key!=='ArrowLeft')return;
    slider.value=Math.max(0,Math.min(steps.length-1,+slider.value+(e.key==='ArrowRight'?1:-1)));
    show(+slider.value,true);
  });
  window.orvelNavigate(true);
})();
)";

}  // namespace

std::string renderReportPage(const ReportPage& page, const std::string& controls, const std::string& extraScript) {
  std::ostringstream out;
  out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
         "content=\"width=device-width\"><title>orvel-sim: "
      << escapeHtml(printable(page.title)) << "</title><style>" << kStyle << "</style></head><body>";
  if (!controls.empty()) out << "<div id=\"controls\">" << controls << "</div>";
  out << "<div id=\"nav\" style=\"--versions:" << std::max<size_t>(page.runs.size(), 1)
      << "\"><label>step <input id=\"slider\" type=\"range\" min=\"0\" value=\"0\"> <span "
         "id=\"step-label\"></span></label><div class=\"now\" id=\"now\"></div></div>";
  out << "<div id=\"report\">" << renderReportBody(page) << "</div>";
  out << "<script>" << kScript << extraScript << "</script></body></html>\n";
  return out.str();
}

}  // namespace orvelsim

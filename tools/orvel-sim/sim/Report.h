// What the phone showed and what happened, as a web page: the phone after
// every step (the application's state, the badge on its icon, the delivered
// notifications) and the records in swimlanes, one per party. The same
// model and markup serve the HTML report of a finished run and the live
// page of a running one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/Records.h"

namespace orvelsim {

struct PhoneNotification {
  std::string id;  // the request's identifier
  std::string title, body;
  // The type of an image attached to it ("public.png"), if one is.
  std::string image;
  bool banner = false;  // shown as a banner over the active application
};

struct PhoneState {
  std::string appState = "not-running";
  int64_t badge = 0;                         // what a write left; 0 or less shows no badge
  std::vector<PhoneNotification> delivered;  // the latest first
};

// The phone as the records tell it, record by record.
class PhoneModel {
 public:
  void add(const Record& record);
  // The application's state once the step that is under way has ended.
  void endStep();
  const PhoneState& state() const { return state_; }

 private:
  struct Content {
    std::string title, body, image;
  };
  void learn(const std::string& id, const std::string& title, const std::string& body);
  // The title and body a push payload shows, for the notification `id`.
  void learnPayload(const std::string& id, const Json& payload);
  PhoneNotification notification(const std::string& id) const;

  PhoneState state_;
  std::map<std::string, Content> contents_;  // by request identifier
  std::optional<std::string> stateAfterStep_;
  std::string bannerNext_;  // presented, not yet listed
};

// One step of a run (or a note, or what came before the first step): its
// records and the phone when it had ended.
struct ReportStep {
  std::optional<Record> heading;  // the "step" or "note" record
  std::vector<Record> records;
  PhoneState phone;
};

// One run on one system version, gathered as its records come.
class RunReport {
 public:
  explicit RunReport(std::string version = "") : version_(std::move(version)) {}
  void add(const Record& record);
  const std::string& version() const { return version_; }
  const std::vector<ReportStep>& steps() const { return steps_; }
  int expectationsChecked() const { return checked_; }
  int expectationsFailed() const { return failed_; }
  // What stopped the run, if a step could not be carried out.
  const std::string& stopped() const { return stopped_; }

 private:
  std::string version_;
  PhoneModel phone_;
  std::vector<ReportStep> steps_;
  int checked_ = 0, failed_ = 0;
  std::string stopped_;
};

struct ReportPage {
  std::string title;
  std::vector<RunReport> runs;  // one per version, side by side
  std::optional<Comparison> comparison;
};

// The markup of one phone.
std::string renderPhone(const PhoneState& phone);

// The page's content: the runs' steps side by side, each with its phones
// and lanes, and the table of what was compared. No script is needed to
// read it.
std::string renderReportBody(const ReportPage& page);

// A whole page, styles and scripts inline, nothing fetched. `extraScript`
// (may be empty) is added after the page's own navigation script;
// `controls` (may be empty) is markup shown above the report.
std::string renderReportPage(const ReportPage& page, const std::string& controls = "",
                             const std::string& extraScript = "");

// Text made safe inside HTML elements and attribute values.
std::string escapeHtml(const std::string& text);

}  // namespace orvelsim

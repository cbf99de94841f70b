// SPDX-License-Identifier: MIT
// The units of a run: each unit is one PLC updated by a burn of its own.
// One unit, as the window does it; or several at the same time, one per
// serial port or USB location, each burn on its own thread with its own
// display line, links and stop, sharing the image, the operator (one prompt
// for all) and the log. One model and one image for every unit.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "cli/options.h"
#include "cli/reporter.h"
#include "cli/terminal_environment.h"
#include "cli/unit_log.h"
#include "discovery/usb_plc.h"
#include "image/image_source.h"
#include "link/wire_trace.h"

struct ImageDigest {
  uint64_t size = 0;
  std::string sha256;  // empty when the image cannot be read whole
};
// What is about to be written, named by its contents.
ImageDigest DigestOf(ImageSource& source);

// Where a unit's PLC is, and so how its links open.
struct UnitTarget {
  enum class Kind {
    kSerialPort,   // a COM model's port
    kUsbSearch,    // the USB PLC, found by its ids
    kUsbPath,      // a USB model's device, by its path
    kUsbLocation,  // the USB PLC at a location, found there again after the replug
    kSimulated,    // a simulated PLC of its own
  };
  Kind kind = Kind::kSerialPort;
  // The unit as the operator, the displays and the records name it: the
  // port, the device path or the USB location; "USB" for the search,
  // "simulated PLC" for a simulated PLC no --port named.
  std::string name;
  std::string serial;  // a USB PLC's serial number, when known
};

// The port as a run of one unit shows it and a diagnosis names it.
std::string PortLabel(const UnitTarget& target);
// The port a COM model's burn opens; empty for the others.
std::string ComPortOf(const UnitTarget& target);
// How the unit's links open: the real ports and USB devices, or a simulated
// PLC expecting an image of `imageSize` bytes.
LinkSource LinksFor(const UnitTarget& target, const ModelRules& model, uint64_t imageSize);

struct UnitPlan {
  std::vector<UnitTarget> targets;
  // The display of several units: more than one, or named with --usb.
  bool several = false;
  std::string error;  // why there is no plan; empty when there is one
  int errorStatus = 0;
  // Of a plan refused other than for usage (no USB PLC attached): why, and
  // what to do, as a failed unit says it.
  Diagnosis diagnosis{};
};

// The units the options name for `model`: the ports, the USB locations
// (every USB PLC attached for "all"), the USB PLC or a simulated PLC.
UnitPlan PlanUnits(const CliOptions& options, const ModelRules& model,
                   const UsbPlcLister& list = ListUsbPlcs);

// What every unit of a run shares.
struct RunShared {
  const CliOptions& options;
  const ModelRules& model;
  ImageSource& image;
  ImageDigest digest;
  bool demoImageAllowed;
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  WireTrace* trace;                 // --trace, for a run of one unit
  UnitLog* log;                     // --log
  std::function<int()> stopSignal;  // the stop signal that arrived (SIGINT, SIGTERM), 0 while none
  std::string host;                 // the station's name in the records
};

// How one unit's update ended.
struct UnitEnd {
  std::string unit;
  std::string outcome;  // "success", "failure", or "interrupted" by a stop signal
  std::string caption;
  std::string message;
  int exitStatus = 0;  // what a run of this unit alone ends with (6: its record was not written)
  double seconds = 0;
  bool inputEnded = false;       // a prompt met the end of the operator's input
  std::optional<bool> verified;  // --verify's verdict; empty when not asked
};

// One unit's burn with its own display, environment, links and stop.
class UnitRun {
 public:
  // `gate`: the prompt shared with the other units; nullptr: its own.
  // `runSerials`: the serial numbers of every unit of the run (this one's
  // when empty); `display.label` is the unit's label.
  UnitRun(const RunShared& shared, UnitTarget target, const Reporter::Settings& display,
          PromptGate* gate, std::vector<std::string> runSerials = {});

  // The whole update (and --verify's check), on the calling thread; its
  // record goes to the log.
  UnitEnd Burn();
  // One second of the elapsed-time timer, from the display's thread.
  void Tick() { environment_.Tick(); }
  // Ctrl-C or SIGTERM: the burn stops between two exchanges.
  void Stop() { cancel_.Request(); }

 private:
  const RunShared& shared_;
  const UnitTarget target_;
  const std::string label_;
  Reporter reporter_;
  CancelToken cancel_;
  TerminalEnvironment environment_;
};

// Appends `record` to `log` (the file `path`) and returns what the unit
// ends with: its own exit status, or 6 in its place when the record could
// not be written, which `reporter` then says (a "logError" event, or Why and
// What to do).
int AppendRecord(UnitLog& log, const UnitRecord& record, const std::string& path,
                 Reporter& reporter);

// Runs `work` on a thread of its own; this one calls `tick` every second
// and `stop` once a stop signal arrives, and waits for the work to end (to
// close its links). It sleeps between: a stop signal and the work's end
// wake it (WakeWatcher).
void RunWatched(const std::function<void()>& work, const std::function<void()>& stop,
                const std::function<void()>& tick, const std::function<int()>& stopSignal);

// Several units at the same time: their burns, the shared prompt when
// prompts wait for Enter, and the summary. `display` is the run's (mode,
// width); `inputEchoes`: the terminal shows the Enter that answers a
// prompt. Returns the exit status.
int RunUnits(const RunShared& shared, const std::vector<UnitTarget>& targets,
             Reporter::Settings display, bool promptsWait, bool inputEchoes);

// The exit status of several units: the stop signal's when one was
// stopped, 3 when the image was refused (for all alike), 1 when any unit
// failed, else the strongest of theirs (5 not verified, 6 not recorded, 0).
int ExitStatusOfUnits(const std::vector<UnitEnd>& ends);

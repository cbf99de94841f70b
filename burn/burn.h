// The burn: one complete firmware update, from the start command to the last
// message box, on a thread of its own. Every front end runs this same
// sequence through its own BurnEnvironment.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "link/link.h"

// Everything the burn asks of the world outside the protocols. The front
// end's window, button and timer are behind it.
class BurnEnvironment {
 public:
  virtual ~BurnEnvironment() = default;
  // nullptr stands for a port that did not open.
  virtual std::unique_ptr<Link> OpenSerialPort(const std::string& port) = 0;
  virtual std::unique_ptr<Link> OpenMyDevPipe() = 0;  // the PLC's USB link
  // Every box waits until the operator dismisses it.
  virtual void ShowError(const std::string& text) = 0;  // caption "ERROR"
  virtual void ShowInformation(const std::string& text, const std::string& caption) = 0;
  // The replug or power-cycle request between the phases: an information box
  // (caption "Information") after which the burn goes on. Kept apart from
  // ShowInformation so that a front end without boxes can tell a question
  // to the operator from the final word.
  virtual void ShowPrompt(const std::string& text) = 0;
  virtual void EnableStartButton(bool enable) = 0;
  virtual void StopElapsedTimer() = 0;
  virtual void SleepSeconds(int seconds) = 0;
};

// What a front end hands the burn thread.
struct BurnParams {
  BurnEnvironment* environment;
  // The demo image is not firmware: a burn writes it only to a simulated
  // PLC, or where a test says so (MORVIX_ALLOW_DEMO_IMAGE=1).
  bool demoImageAllowed = false;
};
extern BurnParams paramStruct;

// Whole seconds since the start command: the front end's timer counts them,
// the burn sets them back to 0 when it ends.
extern std::atomic<int32_t> elapsedTime;

// Only one burn at a time. A front end claims the burn before it starts the
// thread and starts nothing when the claim fails; the burn gives it back as
// the very last thing it does, once the link is closed and the image released.
bool ClaimBurn();
bool BurnRunning();
// Gives back a claim whose burn never started (its thread could not be made).
void ReleaseBurnClaim();

// The port a COM model's burn opens, and opens again after a power cycle.
// The window may change it at any moment, the burn reads it when it opens.
void SetSelectedComPort(const std::string& port);
std::string SelectedComPort();

// The message for a failed application-mode step, chosen by the low four
// bits of its result: state 1 the communication check, 2 the identity check,
// 3 the erase request.
const char* StateMessage(int state, uint8_t code);

// The thread body; always returns 0.
int StartBurn(BurnParams* params);

#include "sim/plcsim_options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "catalogue/model_table.h"

const char kPlcsimHelp[] = R"(morvix-plcsim: a simulated Morvix PLC on a pseudo-terminal.

It plays one PLC model: its application firmware (Modbus ASCII) and its
loader, by that model's rules, and answers the firmware update tool from the
PLC's side. It records every request, every violation of the dialogue (with
its reason), the flash it wrote and whether the update completed.

Usage:
  morvix-plcsim --link PATH --model NAME (--image-size BYTES | --image FILE) [options]

The link:
  --link PATH           make PATH a symbolic link to the pseudo-terminal's slave;
                        open PATH as the serial port (e.g. a test's port name, or
                        $WINEPREFIX/dosdevices/com5 for a Windows program under
                        wine). Closing and reopening it is the replug or power
                        cycle; leave a moment between the two, as an operator
                        does (bytes still in the pseudo-terminal when the link is
                        reopened within the same millisecond cannot be told from
                        the new connection's). Prints "ready PATH" once PATH exists.
  --model NAME          the model the PLC is, as the model list names it (GL30, KR2-E, ...)
  --image-size BYTES    size of the image the tool will send: the erase and block
                        counts, and the 0x1A fill, are checked against it
  --image FILE          the same, sized by FILE; the report also says whether the
                        flash equals FILE (the first size - 4096 bytes for the GL30
                        family)

Settings (the defaults pass every check of the tool):
  --start-mode MODE     application (default) or loader
  --app-id CODE         identity code reported in application mode (default: the model's)
  --loader-id CODE      identity code reported to "ID" (default: one the model's loader
                        rule accepts: the code, or code & 0x7FFF for the L3 models)
  --app-version BYTE    version byte in the reply to the version query (default 0x12)
  --loader-version A,B  the two bytes after 0x06 in the reply to "VERSION" (default 0x01,0x20)
  --d1386 VALUE         register values (defaults pass the model's compatibility check)
  --d1001 VALUE
  --d1148 VALUE
  --no-wake-reply       do not answer the wake-up frames (default: the 11-byte exception reply)
  --erase-reply         answer the erase request and wait for the confirmation (the default
                        for every model but KR2-C-V2, KR2-C-V4 and PW2-CAR, which restart
                        at the erase request without a reply)
  --silent-erase        restart at the erase request without a reply, whatever the model
  --no-speed-check      take requests at any line speed (default, for serial models: a request
                        not at 9600 baud, or a block or the final 0x04 not at 115200, is a
                        violation and goes unanswered)
  --pacing              hold each reply until the request would have crossed a real wire at
                        the speed the tool set, then send it at that speed
  --reply-delay MS      hold each reply back MS milliseconds more
  --repeated-block ack|refuse
                        how the loader answers a block it has already written when the
                        tool sends it again (it did not take the acknowledgement): 0x06
                        again (default), or 0x15
  --stays-in-application
                        take the command to start the loader (the erase confirmation),
                        but go on running the application firmware

Faults (each may be given more than once). OP names a request: wake, check,
app-id, d1386, d1001, d1148, app-version, app-erase, app-confirm, id, version,
erase, erase-eot, update, block, final-eot. A target is OP (every time), OP@N
(the N-th time the PLC hears it) or OP@NxK (K times from the N-th on); for
block, N is the block (1 = the first of the image) and K counts the packets
that carry it.
  --silent              never answer anything
  --silence TARGET      do not hear the request: no action, no reply
                        (e.g. --silence erase@3: no reply to the third "ERASE")
  --refuse TARGET:CLASS:DETAIL
                        check, app-id, app-version, app-erase: status 0x15 with that
                        refusal class and detail; d1386, d1001, d1148: a Modbus exception
                        reply with DETAIL as its code
  --garble-lrc TARGET   a Modbus reply whose LRC is off by one
  --lower-case TARGET   a Modbus reply in lower-case hexadecimal
  --short-reply TARGET  the reply without its last byte
  --nak TARGET          loader requests: 0x15 instead of the reply, nothing done
                        (e.g. --nak block@5x3: 0x15 three times to block 5)
  --flash-error TARGET  block, final-eot: 0x16 (flash write error), nothing written
  --disconnect TARGET   the link drops when the request arrives: the pseudo-terminal goes
                        away and PATH is made again to a new one, as a USB device
                        that re-enumerates (e.g. --disconnect block@10)
  --late TARGET         act on the request, but send the reply late: after the tool's
                        3000 ms read has given up on it (see --late-by)
  --late-by MS          how long after its request a late reply goes out (default 3100)
  --bit-errors RATE     flip each reply bit with this chance (e.g. 1e-4)
  --seed N              seed of the bit errors (default 1)

Output and ending:
  --report FILE         write the record as JSON on exit
  --flash-out FILE      write the flash on exit: every block written, fill included, from
                        address 0
  --verbose             print every request and violation on stderr
  --exit-when-complete  end once the update completed and the tool closed the link
                        (or 5 s after the completion at the latest)
  --timeout SECONDS     end after SECONDS whatever happens
  --help                this text

It ends cleanly on SIGTERM or SIGINT, writing its report and flash. Exit
status: 0 no violation was recorded, 1 violations were recorded, 2 the
command line is wrong, 3 the pseudo-terminal or a file could not be made.
)";

namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
  value = v;
  return true;
}

template <typename T>
bool Number(const std::string& option, const std::string& text, T& out, std::string& error,
            uint64_t max = static_cast<T>(~T{})) {
  uint64_t v = 0;
  if (!ParseNumber(text, max, v)) {
    error = option + ": not a number in range: \"" + text + "\"";
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

FaultKind const* FaultOption(const std::string& option) {
  static constexpr std::pair<const char*, FaultKind> kOptions[] = {
      {"--silence", FaultKind::kSilence},
      {"--refuse", FaultKind::kRefuse},
      {"--garble-lrc", FaultKind::kGarbleLrc},
      {"--lower-case", FaultKind::kLowerCase},
      {"--short-reply", FaultKind::kShortReply},
      {"--nak", FaultKind::kNak},
      {"--flash-error", FaultKind::kFlashWriteError},
      {"--disconnect", FaultKind::kDisconnect},
      {"--late", FaultKind::kLate},
  };
  for (const auto& entry : kOptions) {
    if (option == entry.first) return &entry.second;
  }
  return nullptr;
}

}  // namespace

std::optional<PlcFault> ParseFaultTarget(FaultKind kind, const std::string& text,
                                         std::string& error) {
  PlcFault fault{kind, PlcRequest::kUnknown, 0, 1, 0, 0};
  std::string target = text;
  if (kind == FaultKind::kRefuse) {
    // OP[@N[xK]]:CLASS:DETAIL
    const size_t second = target.rfind(':');
    const size_t first = second == std::string::npos ? second : target.rfind(':', second - 1);
    if (first == std::string::npos || second == 0) {
      error = "--refuse takes TARGET:CLASS:DETAIL, not \"" + text + "\"";
      return std::nullopt;
    }
    if (!Number("--refuse class", target.substr(first + 1, second - first - 1), fault.refusalClass,
                error) ||
        !Number("--refuse detail", target.substr(second + 1), fault.refusalDetail, error)) {
      return std::nullopt;
    }
    target.resize(first);
  }
  std::string name = target;
  const size_t at = target.find('@');
  if (at != std::string::npos) {
    name = target.substr(0, at);
    std::string count = target.substr(at + 1);
    const size_t x = count.find('x', count.compare(0, 2, "0x") == 0 ? 2 : 0);
    if (x != std::string::npos) {
      if (!Number("fault count", count.substr(x + 1), fault.times, error)) return std::nullopt;
      count.resize(x);
    }
    if (!Number("fault position", count, fault.nth, error)) return std::nullopt;
    if (fault.nth == 0) {
      error = "fault position counts from 1: \"" + text + "\"";
      return std::nullopt;
    }
  }
  const auto request = PlcRequestByName(name);
  if (!request || *request == PlcRequest::kUnknown) {
    error = "unknown request \"" + name + "\" in \"" + text + "\"";
    return std::nullopt;
  }
  fault.request = *request;
  const std::string problem = PlcFaultProblem(fault);
  if (!problem.empty()) {
    error = problem;
    return std::nullopt;
  }
  return fault;
}

std::optional<PlcsimOptions> ParsePlcsimOptions(const std::vector<std::string>& args,
                                                std::string& error) {
  PlcsimOptions options;
  // Options that take a value, so that the first pass can step over values.
  static constexpr const char* kValued[] = {
      "--link",    "--model",       "--image-size",  "--image",          "--start-mode",
      "--app-id",  "--loader-id",   "--app-version", "--loader-version", "--d1386",
      "--d1001",   "--d1148",       "--reply-delay", "--bit-errors",     "--seed",
      "--silence", "--refuse",      "--garble-lrc",  "--lower-case",     "--short-reply",
      "--nak",     "--flash-error", "--disconnect",  "--report",         "--flash-out",
      "--timeout", "--late",        "--late-by",     "--repeated-block",
  };
  auto valued = [](const std::string& option) {
    for (const char* name : kValued) {
      if (option == name) return true;
    }
    return false;
  };

  // First pass: the model and the image size, on which every default rests.
  std::optional<int> model;
  std::optional<uint32_t> imageSize;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--help" || option == "-h") {
      options.help = true;
      return options;
    }
    if (!valued(option)) continue;
    if (i + 1 >= args.size()) {
      error = option + " needs a value";
      return std::nullopt;
    }
    const std::string& value = args[++i];
    if (option == "--model") {
      model = FindModel(value);
      if (!model) {
        error = "--model: no model is named \"" + value + "\"";
        return std::nullopt;
      }
    } else if (option == "--image-size") {
      uint32_t size = 0;
      if (!Number(option, value, size, error)) return std::nullopt;
      imageSize = size;
    } else if (option == "--image") {
      std::ifstream file(value, std::ios::binary);
      if (!file) {
        error = "--image: cannot read \"" + value + "\"";
        return std::nullopt;
      }
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                 std::istreambuf_iterator<char>());
      if (bytes.size() > 0xFFFFFFFFu) {
        error = "--image: larger than 4 GiB";
        return std::nullopt;
      }
      imageSize = static_cast<uint32_t>(bytes.size());
      options.image = std::move(bytes);
    }
  }
  if (!model) {
    error = "--model NAME is required";
    return std::nullopt;
  }
  if (!imageSize) {
    error = "--image-size BYTES or --image FILE is required";
    return std::nullopt;
  }
  options.settings = DefaultPlcSettings(*model, *imageSize);
  PlcSettings& s = options.settings;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const std::string value = valued(option) ? args[++i] : std::string();
    bool ok = true;
    if (option == "--model" || option == "--image-size" || option == "--image") {
      continue;
    } else if (option == "--link") {
      options.link = value;
    } else if (option == "--start-mode") {
      if (value == "application") {
        s.startMode = PlcMode::kApplication;
      } else if (value == "loader") {
        s.startMode = PlcMode::kLoader;
      } else {
        error = "--start-mode: application or loader, not \"" + value + "\"";
        return std::nullopt;
      }
    } else if (option == "--app-id") {
      ok = Number(option, value, s.applicationId, error);
    } else if (option == "--loader-id") {
      ok = Number(option, value, s.loaderId, error);
    } else if (option == "--app-version") {
      ok = Number(option, value, s.applicationVersion, error);
    } else if (option == "--loader-version") {
      const size_t comma = value.find(',');
      if (comma == std::string::npos) {
        error = "--loader-version takes A,B";
        return std::nullopt;
      }
      ok = Number(option, value.substr(0, comma), s.loaderVersion[0], error) &&
           Number(option, value.substr(comma + 1), s.loaderVersion[1], error);
    } else if (option == "--d1386") {
      ok = Number(option, value, s.d1386, error);
    } else if (option == "--d1001") {
      ok = Number(option, value, s.d1001, error);
    } else if (option == "--d1148") {
      ok = Number(option, value, s.d1148, error);
    } else if (option == "--no-wake-reply") {
      s.answerWakeUp = false;
    } else if (option == "--erase-reply") {
      s.eraseRestartsSilently = false;
    } else if (option == "--silent-erase") {
      s.eraseRestartsSilently = true;
    } else if (option == "--no-speed-check") {
      s.checkLineSpeed = false;
    } else if (option == "--pacing") {
      s.pacing = true;
    } else if (option == "--reply-delay") {
      ok = Number(option, value, s.replyDelayMs, error, 600000);
    } else if (option == "--late-by") {
      ok = Number(option, value, s.lateReplyMs, error, 600000);
    } else if (option == "--repeated-block") {
      if (value != "ack" && value != "refuse") {
        error = "--repeated-block: ack or refuse, not \"" + value + "\"";
        return std::nullopt;
      }
      s.refuseRepeatedBlock = value == "refuse";
    } else if (option == "--stays-in-application") {
      s.staysInApplication = true;
    } else if (option == "--bit-errors") {
      char* end = nullptr;
      errno = 0;
      const double rate = std::strtod(value.c_str(), &end);
      if (value.empty() || errno != 0 || *end != '\0' || !(rate >= 0 && rate <= 1)) {
        error = "--bit-errors: a chance from 0 to 1, not \"" + value + "\"";
        return std::nullopt;
      }
      s.bitErrorRate = rate;
    } else if (option == "--seed") {
      ok = Number(option, value, s.bitErrorSeed, error);
    } else if (option == "--silent") {
      s.faults.push_back({FaultKind::kSilence, PlcRequest::kUnknown, 0, 1, 0, 0});
    } else if (const FaultKind* kind = FaultOption(option)) {
      const auto fault = ParseFaultTarget(*kind, value, error);
      if (!fault) return std::nullopt;
      s.faults.push_back(*fault);
    } else if (option == "--report") {
      options.report = value;
    } else if (option == "--flash-out") {
      options.flashOut = value;
    } else if (option == "--exit-when-complete") {
      options.exitWhenComplete = true;
    } else if (option == "--timeout") {
      ok = Number(option, value, options.timeoutSeconds, error, 7 * 24 * 3600);
    } else if (option == "--verbose") {
      options.verbose = true;
    } else {
      error = "unknown option \"" + option + "\" (see --help)";
      return std::nullopt;
    }
    if (!ok) return std::nullopt;
  }
  if (options.link.empty()) {
    error = "--link PATH is required";
    return std::nullopt;
  }
  return options;
}

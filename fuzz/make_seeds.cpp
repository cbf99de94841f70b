// SPDX-License-Identifier: MIT
// Writes the seed corpora of the fuzz targets into a folder (fuzz/corpus):
// for the PLC targets, what a sound simulated PLC answers each operation
// and a whole burn, in the targets' input formats; for the others a few
// inputs of each shape. Run it again after changing an input format:
//   cmake --build --preset fuzz --target make_fuzz_seeds
//   build/fuzz/fuzz/make_fuzz_seeds fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "burn/burn.h"
#include "catalogue/model_table.h"
#include "fuzz/fuzz_support.h"
#include "image/image_source.h"
#include "link/app_protocol.h"
#include "link/loader_protocol.h"
#include "sim/plc_sim.h"
#include "sim/sim_link.h"
#include "tests/support/instant_front_end.h"

namespace fs = std::filesystem;

namespace {

// Fits every model's limit and is above the one-sector minimum, so every
// model erases and sends blocks.
constexpr uint16_t kSeedImageSize = 5000;

// A link to the simulated PLC that keeps what each read brought, and what
// listening for a late reply brought: the arrivals a target's ScriptedLink
// hands out again. A sound PLC leaves nothing stale on the line.
class RecordingLink final : public Link {
 public:
  RecordingLink(std::unique_ptr<Link> link, std::vector<Arrival>& arrivals)
      : link_(std::move(link)), arrivals_(arrivals) {}
  size_t Write(const uint8_t* data, size_t n) override { return link_->Write(data, n); }
  size_t Read(uint8_t* data, size_t n) override {
    const size_t got = link_->Read(data, n);
    arrivals_.push_back({Bytes(data, data + got)});
    return got;
  }
  size_t Drain(uint8_t* data, size_t n, uint32_t quietMs) override {
    const size_t got = link_->Drain(data, n, quietMs);
    if (got > 0 && quietMs == 0) Violated("the simulated PLC left stale input");
    if (got > 0) arrivals_.push_back({Bytes(data, data + got), true});
    return got;
  }
  void SetTimeouts(const Timeouts& timeouts) override { link_->SetTimeouts(timeouts); }
  void ApplyLineSettings(const LineSettings& settings) override {
    link_->ApplyLineSettings(settings);
  }

 private:
  std::unique_ptr<Link> link_;
  std::vector<Arrival>& arrivals_;
};

void Write(const fs::path& file, const Bytes& bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes Concat(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// One model for each combination of the rules the dialogues follow.
std::vector<int> RepresentativeModels() {
  std::set<
      std::tuple<LinkKind, bool, EraseRule, BlockRule, ReconnectRule, LoaderIdRule, VariantCheck>>
      seen;
  std::vector<int> models;
  for (int i = 0; i < kModelCount; ++i) {
    const ModelRules& m = ModelAt(i);
    if (seen.emplace(m.link, m.aio, m.erase, m.blocks, m.reconnect, LoaderIdRuleOf(m.name, m.code),
                     m.variant)
            .second) {
      models.push_back(i);
    }
  }
  return models;
}

struct Operation {
  const char* name;
  uint8_t number;  // the target's operation byte
  std::function<void(const Dialogue&, const ModelRules&)> run;
};

// Runs `operations` on one connection to a sound PLC, each seed the
// operation's number, the model, `after` and what the operation read.
void OperationSeeds(const fs::path& dir, int model, PlcMode mode, const Bytes& after,
                    const std::vector<Operation>& operations) {
  PlcSettings settings = DefaultPlcSettings(model, kSeedImageSize);
  settings.startMode = mode;
  PlcSimulator plc(settings);
  std::vector<Arrival> arrivals;
  RecordingLink link(OpenSimLink(plc), arrivals);
  StatusBoard status;
  const CancelToken cancel;
  const Dialogue dialogue{link, status, cancel};
  for (const Operation& operation : operations) {
    arrivals.clear();
    operation.run(dialogue, ModelAt(model));
    if (operation.number == 0xFF) continue;  // brings the PLC to where the seeds start
    const Bytes head = {operation.number, static_cast<uint8_t>(model)};
    Write(dir / (std::string(operation.name) + "-" + std::string(ModelName(model))),
          Concat(Concat(head, after), ReplyScript(0, arrivals)));
  }
}

void AppProtocolSeeds(const fs::path& dir) {
  using D = const Dialogue&;
  using M = const ModelRules&;
  for (int model : RepresentativeModels()) {
    OperationSeeds(dir, model, PlcMode::kApplication, {},
                   {{"DummyComm", 0, DummyComm},
                    {"ConfirmComm", 1, [](D d, M m) { ConfirmComm(d, m); }},
                    {"CheckID_A", 2, [](D d, M m) { CheckID_A(d, m); }},
                    {"READ_D1386", 3, [](D d, M) { READ_D1386(d); }},
                    {"READ_D1001", 4, [](D d, M) { READ_D1001(d); }},
                    {"READ_D1148", 5, [](D d, M) { READ_D1148(d); }},
                    {"read_fu_version_A", 6, [](D d, M) { read_fu_version_A(d); }},
                    {"SendErase_A", 7, [](D d, M m) { SendErase_A(d, m); }}});
  }
  // CheckLRC (operation 8): a reply's characters, sound and with a bad digit.
  Write(dir / "CheckLRC-sound", ToBytes("\x08"
                                        "0064015905003D"));
  Write(dir / "CheckLRC-lower-case", ToBytes("\x08"
                                             "006401590500003d"));
}

void LoaderProtocolSeeds(const fs::path& dir) {
  using D = const Dialogue&;
  using M = const ModelRules&;
  const Bytes size = {kSeedImageSize >> 8, kSeedImageSize & 0xFF};
  for (int model : RepresentativeModels()) {
    MemoryImageSource source("seed.bin", FuzzImage(kSeedImageSize));
    const auto image = source.OpenImage();
    std::vector<Operation> operations = {{"wake", 0xFF, DummyComm},
                                         {"check", 0xFF, [](D d, M m) { ConfirmComm(d, m); }},
                                         {"CheckID_B", 0, [](D d, M m) { CheckID_B(d, m); }}};
    if (ModelAt(model).variant == VariantCheck::kLoaderVersion) {
      operations.push_back({"read_fu_version_B", 1, [](D d, M) {
                              uint8_t version = 0;
                              read_fu_version_B(d, version);
                            }});
    }
    operations.push_back({"SendErase_B", 2, [](D d, M m) { SendErase_B(d, m, kSeedImageSize); }});
    operations.push_back({"SendUpdate", 3, [](D d, M) { SendUpdate(d); }});
    operations.push_back({"SendFW", 4, [&image](D d, M m) { SendFW(d, m, *image); }});
    OperationSeeds(dir, model, PlcMode::kLoader, size, operations);
  }
}

// The simulated PLC's link, every arrival recorded.
LinkOpening RecordedSimLink(PlcSimulator& plc, std::vector<Arrival>& arrivals) {
  auto link = OpenSimLink(plc);
  if (!link) return {nullptr, OpenFailure::kBusy, "the simulated PLC is open already"};
  return {std::make_unique<RecordingLink>(std::move(link), arrivals), OpenFailure::kNone, {}};
}

bool BurnSeeds(const fs::path& dir) {
  bool allSucceeded = true;
  for (int model = 0; model < kModelCount; ++model) {
    MemoryImageSource source("seed.bin", FuzzImage(kSeedImageSize));
    PlcSimulator plc(DefaultPlcSettings(model, kSeedImageSize));
    std::vector<Arrival> arrivals;
    InstantFrontEnd environment([&] { return RecordedSimLink(plc, arrivals); });
    const CancelToken cancel;
    const BurnResult result = StartBurn({ModelAt(model), source, environment, environment, cancel});
    if (result.outcome != BurnOutcome::kSucceeded) {
      std::fprintf(stderr, "%s: the burn ended with %s\n", ModelAt(model).name,
                   result.message.c_str());
      allSucceeded = false;
    }
    // The model, the image size, no failing open, no stop, then the replies.
    const Bytes head = {static_cast<uint8_t>(model), kSeedImageSize >> 8, kSeedImageSize & 0xFF, 0,
                        0};
    Write(dir / ("burn-" + std::string(ModelName(model))), Concat(head, ReplyScript(0, arrivals)));
  }
  return allSucceeded;
}

void TextSeeds(const fs::path& corpus) {
  const std::vector<std::pair<const char*, std::string>> friendlyNames = {
      {"usb-serial", "USB Serial Port (COM3)"},
      {"two-parentheses", "Standard Serial over Bluetooth link (COM7) (A)"},
      {"too-long", "Port (COM1234567890)"},
      {"no-marker", "Communications Port"}};
  for (const auto& [name, text] : friendlyNames) Write(corpus / "port_names" / name, ToBytes(text));

  using namespace std::string_literals;
  const std::vector<std::pair<const char*, std::string>> commandLines = {
      {"image-and-port", "--image\0KR2-E_v1.3.bin\0--port\0/dev/ttyUSB0\0"s},
      {"model-equals", "--model=KR2-C-V2\0--image=fw.bin\0--port=COM3\0--yes\0"s},
      {"json-simulate", "--image\0GL30_v2.bin\0--yes\0--json\0--simulate\0"s},
      {"listings", "--list-models\0--list-ports\0--version\0-h\0"s},
      {"verify", "--port\0COM3\0--verify\0--verify-timeout\0009\0"s},
      {"missing-value", "--model\0"s}};
  for (const auto& [name, text] : commandLines) Write(corpus / "cli_options" / name, ToBytes(text));

  // A USB-serial adapter that is the PLC, a CDC-ACM device that is not, and
  // a reserved legacy port without a UART, laid out as the kernel does.
  const std::string plc =
      "d devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\n"
      "f devices/pci0/usb1/1-1/idVendor=3e9a\n"
      "f devices/pci0/usb1/1-1/idProduct=0001\n"
      "d class/tty\n"
      "l class/tty/ttyUSB0>../../devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0\n"
      "l devices/pci0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0/device>../../../ttyUSB0\n";
  const std::string acm =
      "d devices/pci0/usb2/2-1/2-1:1.0/tty/ttyACM0\n"
      "f devices/pci0/usb2/2-1/idVendor=1a86\n"
      "f devices/pci0/usb2/2-1/idProduct=7523\n"
      "d class/tty\n"
      "l class/tty/ttyACM0>../../devices/pci0/usb2/2-1/2-1:1.0/tty/ttyACM0\n"
      "l devices/pci0/usb2/2-1/2-1:1.0/tty/ttyACM0/device>../../../2-1:1.0\n";
  const std::string legacy =
      "d devices/platform/serial8250/tty/ttyS0\n"
      "f devices/platform/serial8250/tty/ttyS0/type=0\n"
      "d devices/platform/serial8250/tty/ttyS1\n"
      "f devices/platform/serial8250/tty/ttyS1/type=4\n"
      "d class/tty\n"
      "l class/tty/ttyS0>../../devices/platform/serial8250/tty/ttyS0\n"
      "l class/tty/ttyS1>../../devices/platform/serial8250/tty/ttyS1\n"
      "l devices/platform/serial8250/tty/ttyS0/device>../../../serial8250\n"
      "l devices/platform/serial8250/tty/ttyS1/device>../../../serial8250\n";
  Write(corpus / "sysfs" / "usb-serial-plc", ToBytes(plc));
  Write(corpus / "sysfs" / "cdc-acm-other", ToBytes(acm));
  Write(corpus / "sysfs" / "legacy-uarts", ToBytes(legacy));
  Write(corpus / "sysfs" / "all", ToBytes(plc + acm + legacy));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds CORPUS_FOLDER\n");
    return 2;
  }
  const fs::path corpus = argv[1];
  for (const char* target :
       {"app_protocol", "loader_protocol", "burn", "port_names", "cli_options", "sysfs"}) {
    fs::remove_all(corpus / target);
  }
  AppProtocolSeeds(corpus / "app_protocol");
  LoaderProtocolSeeds(corpus / "loader_protocol");
  const bool burnsSucceeded = BurnSeeds(corpus / "burn");
  TextSeeds(corpus);
  return burnsSucceeded ? 0 : 1;
}

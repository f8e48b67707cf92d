// quillon-usb-emulator: the programmer as a real USB device, for the tests that run in a VM.
// It builds a configfs HID gadget (04d8:003f) on dummy_hcd and answers the programmer protocol
// on /dev/hidgN with the simulator's device model, so the host side goes through usbcore,
// usbhid and hidraw. A FIFO of one-line commands lets the test driver plug, unplug, swap chips,
// inject faults and dump the flash; a status file tells it what the device has seen.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimProgrammer.h"

namespace fs = std::filesystem;
using quillon::sim::Emitted;
using quillon::sim::SimProgrammer;

namespace {

constexpr std::size_t kFlashSize = 16384;  // an nRF24LE1 with 16 KiB

// Vendor page, 64-byte input and output reports, no report ID: what the real programmer has.
const std::vector<std::uint8_t> kProgrammerDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0};

// A boot keyboard: 8-byte input report, 1-byte LED output report. Nobody serves it; the host
// only has to see an unrelated HID device beside the programmer.
const std::vector<std::uint8_t> kKeyboardDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x03, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x03, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

void WriteAttr(const fs::path& file, const std::string& value) {
    std::ofstream out(file, std::ios::binary);
    out << value;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string Hex4(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04x", v);
    return buf;
}

// One configfs gadget with one HID function, bound to one dummy UDC.
struct Gadget {
    fs::path dir;
    std::string udc;

    void create(unsigned vid, unsigned pid, const std::string& serial, const std::string& product,
                int protocol, int reportLength, const std::vector<std::uint8_t>& descriptor) {
        fs::create_directories(dir);
        WriteAttr(dir / "idVendor", Hex4(vid));
        WriteAttr(dir / "idProduct", Hex4(pid));
        WriteAttr(dir / "bcdDevice", "0x0100");
        WriteAttr(dir / "bcdUSB", "0x0200");
        fs::create_directories(dir / "strings/0x409");
        WriteAttr(dir / "strings/0x409/serialnumber", serial);
        WriteAttr(dir / "strings/0x409/manufacturer", "Quillon test");
        WriteAttr(dir / "strings/0x409/product", product);
        fs::create_directories(dir / "configs/c.1/strings/0x409");
        WriteAttr(dir / "configs/c.1/MaxPower", "100");
        const fs::path fn = dir / "functions/hid.usb0";
        fs::create_directories(fn);
        WriteAttr(fn / "protocol", std::to_string(protocol));
        WriteAttr(fn / "subclass", protocol != 0 ? "1" : "0");
        WriteAttr(fn / "report_length", std::to_string(reportLength));
        WriteAttr(fn / "report_desc", std::string(descriptor.begin(), descriptor.end()));
        fs::create_symlink(fn, dir / "configs/c.1/hid.usb0");
    }
    // /dev/hidgN, N being the function's minor number.
    std::string node() const {
        std::ifstream in(dir / "functions/hid.usb0/dev");
        std::string majMin;
        in >> majMin;
        return "/dev/hidg" + majMin.substr(majMin.find(':') + 1);
    }
    void bind() { WriteAttr(dir / "UDC", udc); }
    void unbind() { WriteAttr(dir / "UDC", "\n"); }
};

class Emulator {
public:
    Emulator(Gadget gadget, fs::path stateDir) : gadget_(std::move(gadget)), state_(std::move(stateDir)) {}

    void plug() {
        if (hid_ >= 0) return;
        gadget_.bind();
        // The node appears when the function binds; devtmpfs creates it a moment later.
        const std::string node = gadget_.node();
        for (int i = 0; i < 500 && hid_ < 0; ++i) {
            hid_ = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (hid_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (hid_ < 0) throw std::runtime_error("no " + node + ": " + std::strerror(errno));
        ++plugs_;
    }

    void unplug() {
        if (hid_ < 0) return;
        ::close(hid_);
        hid_ = -1;
        gadget_.unbind();
        // Pulling the cable cuts the programmer's power: a stream in progress is lost.
        chip_.abandonStream();
        outgoing_.clear();
        unplugAt_ = 0;
    }

    void run(int control) {
        std::string pending;
        for (;;) {
            publish();
            pollfd fds[2] = {{control, POLLIN, 0}, {hid_, short(POLLIN | (outgoing_.empty() ? 0 : POLLOUT)), 0}};
            if (::poll(fds, hid_ >= 0 ? 2 : 1, 500) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
            if (fds[0].revents & POLLIN) {
                char buf[512];
                const ssize_t n = ::read(control, buf, sizeof buf);
                if (n > 0) pending.append(buf, std::size_t(n));
                for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
                    const std::string line = pending.substr(0, nl);
                    pending.erase(0, nl + 1);
                    if (line == "quit") return;
                    command(line);
                }
            }
            if (hid_ >= 0 && (fds[1].revents & POLLIN)) receive();
            if (hid_ >= 0 && (fds[1].revents & POLLOUT) && !outgoing_.empty()) {
                if (::write(hid_, outgoing_.front().bytes.data(), 64) == 64) outgoing_.pop_front();
            }
        }
    }

    void command(const std::string& line) {
        std::istringstream in(line);
        std::string verb, arg;
        in >> verb >> arg;
        if (verb == "plug") {
            plug();
        } else if (verb == "unplug") {
            unplug();
        } else if (verb == "chip") {  // on, off, or new (a fresh erased chip on the pins)
            if (arg == "new") {
                chip_.setFlash(std::vector<std::uint8_t>(kFlashSize, 0xFF));
                chip_.setProtected(false);
            }
            chip_.faults.noChip = arg == "off";
        } else if (verb == "fail-write") {
            chip_.faults.failOpcode = arg == "on" ? quillon::sim::kOpWrite : 0;
        } else if (verb == "unplug-after") {  // image packets of the next write
            unplugAt_ = chip_.imagePacketsReceived() + std::stoul(arg);
        } else if (verb == "dump") {
            const auto& flash = chip_.flash();
            const std::string tmp = arg + ".tmp";
            std::ofstream(tmp, std::ios::binary).write(reinterpret_cast<const char*>(flash.data()),
                                                       std::streamsize(flash.size()));
            fs::rename(tmp, arg);
        } else {
            std::fprintf(stderr, "quillon-usb-emulator: unknown command: %s\n", line.c_str());
        }
        ++controls_;
    }

private:
    void receive() {
        std::uint8_t report[64] = {};
        const ssize_t n = ::read(hid_, report, sizeof report);
        if (n <= 0) return;
        const bool imagePacket = chip_.receivingImage();
        // A new command means the host no longer waits for what an earlier one left queued.
        if (!imagePacket) outgoing_.clear(), ++commands_;
        std::vector<Emitted> out;
        chip_.receive(std::span(report, std::size_t(n)), SimProgrammer::Clock::now(), out);
        for (const Emitted& e : out) {
            if (!e.data && (e.bytes[0] & 0x7F) == quillon::sim::kOpChecksum) ++writes_;
            outgoing_.push_back(e);
        }
        if (imagePacket && unplugAt_ != 0 && chip_.imagePacketsReceived() >= unplugAt_) unplug();
    }

    // The driver waits on these numbers instead of sleeping.
    void publish() {
        std::ostringstream s;
        s << "plugged " << (hid_ >= 0) << "\nplugs " << plugs_ << "\ncommands " << commands_ << "\nwrites "
          << writes_ << "\npackets " << chip_.imagePacketsReceived() << "\ncontrols " << controls_ << "\n";
        if (s.str() == published_) return;
        published_ = s.str();
        WriteAttr(state_ / "status.tmp", published_);
        fs::rename(state_ / "status.tmp", state_ / "status");
    }

    Gadget gadget_;
    fs::path state_;
    SimProgrammer chip_{kFlashSize};
    int hid_ = -1;
    std::deque<Emitted> outgoing_;
    std::size_t unplugAt_ = 0;
    unsigned plugs_ = 0, commands_ = 0, writes_ = 0, controls_ = 0;
    std::string published_;
};

}  // namespace

int main(int argc, char** argv) {
    // quillon-usb-emulator STATE_DIR SERIAL [--keyboard] [--no-chip]
    if (argc < 3) {
        std::fprintf(stderr, "usage: quillon-usb-emulator STATE_DIR SERIAL [--keyboard] [--no-chip]\n");
        return 2;
    }
    try {
        const fs::path state = argv[1];
        bool keyboard = false, noChip = false;
        for (int i = 3; i < argc; ++i) {
            keyboard |= std::strcmp(argv[i], "--keyboard") == 0;
            noChip |= std::strcmp(argv[i], "--no-chip") == 0;
        }
        fs::create_directories(state);
        const fs::path fifo = state / "control";
        if (::mkfifo(fifo.c_str(), 0600) != 0 && errno != EEXIST) throw std::runtime_error("cannot make the FIFO");
        // Read and write: the FIFO never reports end-of-file between two writers.
        const int control = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (control < 0) throw std::runtime_error("cannot open the FIFO");

        const fs::path configfs = "/sys/kernel/config/usb_gadget";
        if (keyboard) {
            Gadget kbd{configfs / "quillon-kbd", "dummy_udc.1"};
            kbd.create(0x1d6b, 0x0104, "KBD-1", "Test keyboard", 1, 8, kKeyboardDescriptor);
            kbd.bind();
        }
        Gadget programmer{configfs / "quillon", "dummy_udc.0"};
        programmer.create(0x04d8, 0x003f, argv[2], "nRF24LE1 programmer", 0, 64, kProgrammerDescriptor);
        Emulator emulator(programmer, state);
        if (noChip) emulator.command("chip off");
        emulator.plug();
        emulator.run(control);
        emulator.unplug();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillon-usb-emulator: %s\n", e.what());
        return 1;
    }
    return 0;
}

// The owner of one controller: the one object of a program that calls the
// library (which holds one open interface per process and whose calls must
// never overlap), from one thread. gpio-mqtt and gpio-modbus each keep one
// and put their own protocol around it.
//
// Availability: the controller is online once it answers a version request
// after the port opened and every port was read. Three failed exchanges in
// a row (no valid reply, or the port gone) make it offline; then the port
// is closed and opened again every second, as for an adapter unplugged and
// plugged back, until the controller answers. A handle the library no
// longer takes (GPIO_RESULT_BAD_HANDLE), or an I/O error on a port whose
// device has gone, has the port opened again at once. These decisions are
// made after each operation, or after a whole Hold() ... Release().
//
// What it holds is what the controller holds: each polled port is read on
// its own interval (PollSchedule), every other port, outputs too, is read
// one per Tick every checkInterval, so that a controller that was reset or
// replaced shows; and a write that failed, or whose read-back failed, may
// still have been carried out, so the port is read again.
#ifndef GPIO_CONTROLLER_CONTROLLER_H
#define GPIO_CONTROLLER_CONTROLLER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "event_log.h"
#include "gpiolink.h"
#include "poll_schedule.h"
#include "port_plan.h"

namespace gpio_controller {

// The library's public functions, as the controller's owner calls them; a
// test puts its own controller in their place.
struct LibraryCalls {
    int (*open)(const char *portName, HANDLE *handle);
    int (*close)(HANDLE handle);
    int (*input)(HANDLE handle, unsigned char port, unsigned char *value);
    int (*output)(HANDLE handle, unsigned char port, unsigned char value);
    int (*bitTest)(HANDLE handle, unsigned char port, unsigned char bit);
    int (*bitSet)(HANDLE handle, unsigned char port, unsigned char bit);
    int (*bitReset)(HANDLE handle, unsigned char port, unsigned char bit);
    int (*version)(HANDLE handle, char *buffer, int bufferSize);
    // Why an open of the port failed, in one line; true when another
    // process holds the port.
    bool (*whyOpenFailed)(const char *portName, std::string *text);
    // Whether the port's device is still there.
    bool (*portPresent)(const char *portName);
};

// The real library's functions.
LibraryCalls TheLibrary();

// A library result by its name and meaning, "GPIO_RESULT_TIMEOUT (...)".
std::string ResultText(int result);
// Whether a library result carries out the operation.
bool Succeeded(int result);

struct ControllerSettings {
    std::string serialPort;
    std::vector<PortPlan> ports;
    std::chrono::milliseconds checkInterval{5000};  // unpolled ports read this often; 0 = never
};

// What the owner tells its program; called on the owning thread, from
// within the controller's calls. A handler may call the controller's
// operations: they count as part of the operation that raised the event.
class ControllerEvents {
public:
    virtual ~ControllerEvents() = default;
    // Every successful read of a port: poll, check, read-back, the reads
    // after going online.
    virtual void PortRead(int /*port*/, std::uint8_t /*value*/, Clock::time_point /*when*/) {}
    // The controller answered (version text) and every port was read. Also
    // after the port was opened again at once, with no WentOffline before.
    virtual void WentOnline(const std::string & /*version*/) {}
    virtual void WentOffline() {}
};

class Controller {
public:
    // Failed exchanges in a row that make the controller offline.
    static constexpr int kFailuresForOffline = 3;
    // How often the port is opened again while the controller is offline.
    static constexpr std::chrono::seconds kReopenInterval{1};

    using Now = std::function<Clock::time_point()>;

    Controller(ControllerSettings settings, const LibraryCalls &calls, Log &log, ControllerEvents &events,
               Now now = Clock::now);
    Controller(const Controller &) = delete;
    Controller &operator=(const Controller &) = delete;

    // The first open. False when another process holds the port (`problem`
    // says so). A port that cannot be opened for another reason is tried
    // again every second.
    bool Start(std::string &problem);
    // The earliest due reopen, poll or check step; time_point::max() when
    // nothing will come due.
    Clock::time_point NextWake() const;
    // Does one due thing: a reopen, a poll or a check step.
    void Tick(Clock::time_point now);
    // Closes the interface (at the stop); a hold in progress ends without
    // any decision on the availability.
    void Close();

    // New settings (a reload). Confirmed values of ports no longer planned
    // are forgotten. Another serial port is opened at once, the controller
    // going offline first; on the same one, every port is read again and
    // the poll and the check start over, when online.
    void Reconfigure(ControllerSettings settings);

    bool Online() const { return online_; }
    const std::string &Version() const { return version_; }
    // Every exchange without a valid answer since the start.
    std::uint32_t FailedExchanges() const { return failedExchanges_; }
    // The port's last confirmed value.
    std::optional<std::uint8_t> Value(int port) const;

    // One write, then the port read back. A write or read-back that failed
    // has the port read again (it may have been carried out), unless the
    // port is to be opened anew. result: the write's library result;
    // readBack: the read-back's, GPIO_RESULT_OK when it read (a write that
    // failed is not read back: readBack is then the write's result); value:
    // the port as read after the write, read back or read again.
    struct WriteOutcome {
        int result = 0;
        int readBack = 0;
        std::optional<std::uint8_t> value;
    };
    WriteOutcome Output(int port, std::uint8_t value);
    WriteOutcome BitSet(int port, int bit);
    WriteOutcome BitReset(int port, int bit);
    // The bit's level tested, then the other one written; a test that
    // failed is the result, and the port is read again.
    WriteOutcome BitToggle(int port, int bit);
    // The writes above refuse, without an exchange, a port that is not
    // planned writable, or a port or bit out of range.
    static constexpr int kRefused = GPIO_RESULT_UNEXPECTED;

    // One read, counted; the value via Value().
    int Read(int port);
    // One exchange each, counted, nothing read back: for a caller that
    // reads the port itself. A port or bit out of range is refused.
    int WriteUnconfirmed(int port, std::uint8_t value);
    int WriteBitUnconfirmed(int port, int bit, bool level);
    int BitTest(int port, int bit);  // GPIO_RESULT_BIT_HIGH or GPIO_RESULT_BIT_LOW
    int AskVersion();                // the answer in Version()

    // Several operations as one: their failures are counted, but the
    // availability is decided once, at the outermost Release(), as after a
    // single operation. gpio-mqtt holds the controller for a whole command,
    // so that its reply goes out before a lost controller is opened again.
    void Hold();
    void Release();

private:
    // The operation `work` as one: the availability decided after it,
    // unless a hold is in progress.
    template <typename Work>
    auto Step(Work work);
    // One exchange's result, counted for the availability.
    int Exchanged(int result);
    void CheckAvailability();
    void Reopen();
    void GoOnline();
    void GoOffline();
    // A write's result followed by the read-back and the read again.
    WriteOutcome Written(int port, int result);
    bool Writable(int port) const;
    // Reads the port and keeps its value; `check` warns when it differs
    // from the last confirmed value.
    int ReadPort(int port, bool check = false);
    void ReadAllPorts();
    void CheckStep(Clock::time_point now);
    void RestartCheck(Clock::time_point now);
    void PlanPorts();

    ControllerSettings settings_;
    LibraryCalls calls_;
    Log &log_;
    ControllerEvents &events_;
    Now now_;

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool open_ = false;
    bool online_ = false;
    bool reopenNow_ = false;        // the handle is no longer good
    bool heldElsewhere_ = false;    // the last open found the port held by another process
    int failures_ = 0;              // in a row
    std::uint32_t failedExchanges_ = 0;
    bool answered_ = false;         // an exchange of this operation got a valid reply
    int holds_ = 0;
    std::string lastOpenProblem_;   // said once, not every second
    Clock::time_point nextReopen_{};
    Clock::time_point nextCheck_{};
    std::size_t checkIndex_ = 0;    // the next of checked_ to read
    std::vector<int> checked_;      // the ports the check reads: those not polled
    std::string version_;
    std::map<int, std::uint8_t> values_;  // confirmed by the controller
    PollSchedule schedule_;
};

}  // namespace gpio_controller

#endif  // GPIO_CONTROLLER_CONTROLLER_H

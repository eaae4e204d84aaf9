// The Windows platform file seen from below: its Win32 calls are replaced
// through its own system-call table (system_calls_win32.h), so the tests
// see the exact arguments it passes and make the system answer what Wine
// cannot show: a busy port, a disk file behind a COM name, a refused
// high-resolution timer, a clock about to wrap.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fake_checks.h"
#include "fixed_port_list.h"
#include "gpiolink.h"
#include "link/serial_services.h"
#include "link/system_calls_win32.h"

namespace gpiolink {
namespace {

// SYSTEM(CreateFileA) = fake; puts `fake` in force for CreateFileA. A fake
// of another type does not compile.
template <typename Function>
struct SystemCallSlot {
    Function SystemCalls::*entry;
    void operator=(typename Exactly<Function>::type fake) const { ReplaceSystemCall(entry, fake); }
};
#define SYSTEM(function) (SystemCallSlot<decltype(SystemCalls::function)>{&SystemCalls::function})

// The compile-time check of a fake's type, as on POSIX: another call's
// function, or a lambda whose parameters differ in type, is not taken.
TEST(Win32SystemCallTable, AFakeOfAnotherTypeThanItsCallDoesNotCompile)
{
    const auto readFile = [](HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) -> BOOL { return FALSE; };
    const auto readFileIntCount = [](HANDLE, LPVOID, int, LPDWORD, LPOVERLAPPED) -> BOOL { return FALSE; };
    static_assert(testing::TakesFake<&SystemCalls::ReadFile, decltype(readFile)>::value, "");
    static_assert(testing::TakesFake<&SystemCalls::ReadFile, std::nullptr_t>::value, "");
    static_assert(!testing::TakesFake<&SystemCalls::ReadFile, decltype(readFileIntCount)>::value, "");
    static_assert(!testing::TakesFake<&SystemCalls::ReadFile, decltype(&::WriteFile)>::value, "");
    static_assert(!testing::TakesFake<&SystemCalls::QueryPerformanceCounter, decltype(&::GetCommState)>::value, "");
}

HANDLE const kPort = reinterpret_cast<HANDLE>(std::uintptr_t{0x5150});
HANDLE const kTimer = reinterpret_cast<HANDLE>(std::uintptr_t{0x7130});
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which older MinGW headers lack.
constexpr DWORD kHighResolutionTimer = 0x00000002;

// What the fakes saw. The fakes take no captures, so they share this.
struct Seen {
    struct Open {
        std::string path;
        DWORD access;
        DWORD share;
        bool security;
        DWORD disposition;
        DWORD flags;
        bool templateFile;
    };
    std::vector<Open> opens;
    bool held = false;  // a handle holds the port
    Open holder{};
    std::vector<HANDLE> closed;
    DWORD fileType = FILE_TYPE_CHAR;
    std::string buildText;
    DCB afterBuild{};
    std::vector<DCB> applied;
    std::vector<COMMTIMEOUTS> timeouts;  // each SetCommTimeouts
};
Seen g_seen;

// A port opened with the Windows share rule: an open fails when it asks for
// access that the handle holding the port does not share, or when it
// shares less than that handle's access.
HANDLE WINAPI SharingCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile)
{
    auto needs = [](DWORD wanted) {
        return ((wanted & GENERIC_READ) != 0 ? FILE_SHARE_READ : 0U) |
               ((wanted & GENERIC_WRITE) != 0 ? FILE_SHARE_WRITE : 0U);
    };
    const Seen::Open open{path, access, share, security != nullptr, disposition, flags, templateFile != nullptr};
    g_seen.opens.push_back(open);
    if (g_seen.held &&
        ((needs(access) & ~g_seen.holder.share) != 0 || (needs(g_seen.holder.access) & ~share) != 0)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    g_seen.held = true;
    g_seen.holder = open;
    return kPort;
}

// A serial port that accepts every setting.
class Win32Port : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_seen = Seen{};
        SYSTEM(CreateFileA) = SharingCreateFileA;
        SYSTEM(GetFileType) = [](HANDLE) -> DWORD { return g_seen.fileType; };
        SYSTEM(CloseHandle) = [](HANDLE handle) -> BOOL {
            g_seen.closed.push_back(handle);
            g_seen.held = false;
            return TRUE;
        };
        SYSTEM(GetCommState) = [](HANDLE, LPDCB dcb) -> BOOL {
            *dcb = DistinctiveDcb();
            return TRUE;
        };
        // The system's own parser, on what GetCommState gave.
        SYSTEM(BuildCommDCBA) = [](LPCSTR text, LPDCB dcb) -> BOOL {
            g_seen.buildText = text;
            const BOOL built = ::BuildCommDCBA(text, dcb);
            g_seen.afterBuild = *dcb;
            return built;
        };
        SYSTEM(SetCommState) = [](HANDLE, LPDCB dcb) -> BOOL {
            g_seen.applied.push_back(*dcb);
            return TRUE;
        };
        SYSTEM(GetCommTimeouts) = [](HANDLE, LPCOMMTIMEOUTS timeouts) -> BOOL {
            *timeouts = kEarlierTimeouts;
            return TRUE;
        };
        SYSTEM(SetCommTimeouts) = [](HANDLE, LPCOMMTIMEOUTS timeouts) -> BOOL {
            g_seen.timeouts.push_back(*timeouts);
            return TRUE;
        };
    }

    // Time-outs an earlier program left on the port: writes without bound.
    static constexpr COMMTIMEOUTS kEarlierTimeouts{MAXDWORD, 7, 11, 0, 0};
    void TearDown() override
    {
        GPIO_CloseInterface(kPort);
        RestoreSystemCalls();
    }

    // Every byte distinct, everything the line settings turn off turned
    // on, and the modem lines in states the open interface never sets.
    static DCB DistinctiveDcb()
    {
        DCB dcb;
        auto *bytes = reinterpret_cast<unsigned char *>(&dcb);
        for (std::size_t i = 0; i < sizeof(dcb); ++i) {
            bytes[i] = static_cast<unsigned char>(0x9B + 37 * i);
        }
        dcb.DCBlength = sizeof(dcb);
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 7;
        dcb.Parity = EVENPARITY;
        dcb.StopBits = TWOSTOPBITS;
        dcb.fBinary = FALSE;
        dcb.fOutxCtsFlow = TRUE;
        dcb.fOutxDsrFlow = TRUE;
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
        dcb.fNull = TRUE;
        dcb.fErrorChar = TRUE;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fDsrSensitivity = TRUE;
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        return dcb;
    }

    // Every field, so that a difference names its field.
    static std::string Describe(const DCB &d)
    {
        std::ostringstream text;
        text << "DCBlength " << d.DCBlength << "\nBaudRate " << d.BaudRate << "\nfBinary " << d.fBinary
             << "\nfParity " << d.fParity << "\nfOutxCtsFlow " << d.fOutxCtsFlow << "\nfOutxDsrFlow "
             << d.fOutxDsrFlow << "\nfDtrControl " << d.fDtrControl << "\nfDsrSensitivity " << d.fDsrSensitivity
             << "\nfTXContinueOnXoff " << d.fTXContinueOnXoff << "\nfOutX " << d.fOutX << "\nfInX " << d.fInX
             << "\nfErrorChar " << d.fErrorChar << "\nfNull " << d.fNull << "\nfRtsControl " << d.fRtsControl
             << "\nfAbortOnError " << d.fAbortOnError << "\nfDummy2 " << d.fDummy2 << "\nwReserved "
             << d.wReserved << "\nXonLim " << d.XonLim << "\nXoffLim " << d.XoffLim << "\nByteSize "
             << int(d.ByteSize) << "\nParity " << int(d.Parity) << "\nStopBits " << int(d.StopBits)
             << "\nXonChar " << int(d.XonChar) << "\nXoffChar " << int(d.XoffChar) << "\nErrorChar "
             << int(d.ErrorChar) << "\nEofChar " << int(d.EofChar) << "\nEvtChar " << int(d.EvtChar)
             << "\nwReserved1 " << d.wReserved1 << "\n";
        return text.str();
    }

    // What BuildCommDCBA left, with a transparent stream and no flow
    // control in either direction.
    static DCB TransparentStream(DCB dcb)
    {
        dcb.fBinary = TRUE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fErrorChar = FALSE;
        return dcb;
    }
};

TEST_F(Win32Port, OpensTheDevicePathExclusivelyAndSynchronously)
{
    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle));
    EXPECT_EQ(kPort, handle);
    ASSERT_EQ(1U, g_seen.opens.size());
    const Seen::Open &open = g_seen.opens[0];
    EXPECT_EQ("\\\\.\\COM3", open.path);
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE), open.access);
    EXPECT_EQ(0U, open.share);
    EXPECT_FALSE(open.security);
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), open.disposition);
    EXPECT_EQ(0U, open.flags) << "overlapped or other flags";
    EXPECT_FALSE(open.templateFile);

    // Wine lets a second handle open a port that is in use; Windows does
    // not, because of the share mode. The fake applies the Windows rule.
    HANDLE second = nullptr;
    EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("COM3", &second));
    EXPECT_EQ(INVALID_HANDLE_VALUE, second);
    EXPECT_TRUE(g_seen.closed.empty());
}

TEST_F(Win32Port, TheOpenInterfaceRaisesDtrAndHoldsRtsLowAndKeepsEveryOtherField)
{
    DefaultServices().configureLine(kPort, ModemLines::kDtrOnRtsOff);
    EXPECT_EQ("baud=38400 parity=N data=8 stop=1", g_seen.buildText);
    ASSERT_EQ(1U, g_seen.applied.size());
    const DCB &applied = g_seen.applied[0];
    EXPECT_EQ(static_cast<DWORD>(CBR_38400), applied.BaudRate);
    EXPECT_EQ(8, applied.ByteSize);
    EXPECT_EQ(NOPARITY, applied.Parity);
    EXPECT_EQ(ONESTOPBIT, applied.StopBits);
    DCB expected = TransparentStream(g_seen.afterBuild);
    expected.fDtrControl = DTR_CONTROL_ENABLE;
    expected.fDsrSensitivity = FALSE;
    expected.fRtsControl = RTS_CONTROL_DISABLE;
    EXPECT_EQ(Describe(expected), Describe(applied));
}

TEST_F(Win32Port, TheDiscoveryProbeLeavesTheModemLinesAsTheyWere)
{
    DefaultServices().configureLine(kPort, ModemLines::kUntouched);
    ASSERT_EQ(1U, g_seen.applied.size());
    // fOutxDsrFlow is flow control, not a line: it is cleared here too
    // (see Win32ConfigureLine).
    EXPECT_EQ(Describe(TransparentStream(g_seen.afterBuild)), Describe(g_seen.applied[0]));
    EXPECT_EQ(static_cast<DWORD>(CBR_38400), g_seen.applied[0].BaudRate);
}

// A write to a line whose far end takes nothing ends after a second, for
// the open interface and the probe alike; the read time-outs stay as the
// port had them.
TEST_F(Win32Port, WritesAreBoundedToASecondAndReadTimeoutsAreKept)
{
    for (const ModemLines lines : {ModemLines::kDtrOnRtsOff, ModemLines::kUntouched}) {
        g_seen.timeouts.clear();
        DefaultServices().configureLine(kPort, lines);
        ASSERT_EQ(1U, g_seen.timeouts.size());
        const COMMTIMEOUTS &set = g_seen.timeouts[0];
        EXPECT_EQ(0U, set.WriteTotalTimeoutMultiplier);
        EXPECT_EQ(1000U, set.WriteTotalTimeoutConstant);
        EXPECT_EQ(kEarlierTimeouts.ReadIntervalTimeout, set.ReadIntervalTimeout);
        EXPECT_EQ(kEarlierTimeouts.ReadTotalTimeoutMultiplier, set.ReadTotalTimeoutMultiplier);
        EXPECT_EQ(kEarlierTimeouts.ReadTotalTimeoutConstant, set.ReadTotalTimeoutConstant);
    }
}

TEST_F(Win32Port, AnythingButACharacterDeviceIsClosedAndRefused)
{
    for (const DWORD type : {FILE_TYPE_DISK, FILE_TYPE_PIPE, FILE_TYPE_UNKNOWN}) {
        g_seen.closed.clear();
        g_seen.applied.clear();
        g_seen.fileType = type;
        HANDLE handle = nullptr;
        EXPECT_EQ(GPIO_RESULT_IO_ERROR, GPIO_OpenInterface("COM3", &handle)) << type;
        EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
        EXPECT_EQ(std::vector<HANDLE>{kPort}, g_seen.closed) << type;
        EXPECT_TRUE(g_seen.applied.empty()) << "line settings sent to file type " << type;
    }
}

// Why an open fails, as the open meets it: a name it cannot take, a port
// held elsewhere, no such port (with the ports the system lists), another
// kind of file, or nothing wrong now.
TEST_F(Win32Port, TheCauseOfAFailedOpenIsFoundAsTheOpenMeetsIt)
{
    char text[256];
    const auto describe = [&](const char *port) { return gpiolink_describe_open_failure(port, text, sizeof(text)); };
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_NAME, describe("COM1234567890123"));
    EXPECT_STREQ("name too long: a port name has at most 15 characters", text);
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_NAME, describe("C:COM3"));
    EXPECT_STREQ("not a port name: give a name such as COM3", text);
    EXPECT_TRUE(g_seen.opens.empty()) << "a name the open refuses was opened";

    HANDLE handle = nullptr;
    ASSERT_EQ(GPIO_RESULT_OK, GPIO_OpenInterface("COM3", &handle));
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_BUSY, describe("COM3"));
    EXPECT_STREQ("busy: COM3 is held by another process", text);
    GPIO_CloseInterface(handle);
    g_seen.fileType = FILE_TYPE_DISK;
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_NOT_SERIAL, describe("COM3"));
    EXPECT_STREQ("not a serial device: COM3 is not a character device", text);
    g_seen.fileType = FILE_TYPE_CHAR;
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_NONE, describe("COM3"));
    EXPECT_FALSE(g_seen.held) << "the trial open was left open";
    EXPECT_EQ("\\\\.\\COM3", g_seen.opens.back().path);
    EXPECT_EQ(0U, g_seen.opens.back().share);

    SYSTEM(CreateFileA) = [](LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) -> HANDLE {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    };
    testing::FixedPortList ports({"COM1", "COM4"});
    EXPECT_EQ(GPIOLINK_OPEN_FAILURE_NO_SUCH_DEVICE, describe("COM9"));
    EXPECT_STREQ("no such device: COM9 does not exist; the system lists: COM1 COM4", text);
    ports.Set({});
    describe("COM9");
    EXPECT_STREQ("no such device: COM9 does not exist; the system lists no serial port", text);
}

// ---- the tick and the pauses ----------------------------------------------

// A performance counter that moves only when a fake wait lets time pass.
// Waits end early, as Sleep may: each lets three quarters of the time asked
// for pass.
struct Clock {
    std::uint64_t count = 0;
    std::uint64_t frequency = 10000000;
    bool timerRefused = false;
    bool timerFails = false;
    std::vector<DWORD> timerFlags;
    unsigned timerWaits = 0;
    std::vector<DWORD> sleeps;
    unsigned closedTimers = 0;
    LONGLONG due = 0;

    void Pass(std::uint64_t counts) { count += counts * 3 / 4 > 0 ? counts * 3 / 4 : 1; }
    double Milliseconds() const { return static_cast<double>(count) * 1000.0 / static_cast<double>(frequency); }
};
Clock g_clock;

class Win32Clock : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_clock = Clock{};
        g_clock.count = 123456789;
        SYSTEM(QueryPerformanceCounter) = [](LARGE_INTEGER *count) -> BOOL {
            count->QuadPart = static_cast<LONGLONG>(g_clock.count);
            return TRUE;
        };
        SYSTEM(QueryPerformanceFrequency) = [](LARGE_INTEGER *frequency) -> BOOL {
            frequency->QuadPart = static_cast<LONGLONG>(g_clock.frequency);
            return TRUE;
        };
        SYSTEM(CreateWaitableTimerExW) = [](LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD flags, DWORD) -> HANDLE {
            g_clock.timerFlags.push_back(flags);
            if (g_clock.timerRefused) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            return kTimer;
        };
        SYSTEM(SetWaitableTimer) = [](HANDLE timer, const LARGE_INTEGER *due, LONG period, PTIMERAPCROUTINE, LPVOID,
                                      BOOL) -> BOOL {
            EXPECT_EQ(kTimer, timer);
            EXPECT_EQ(0, period);
            g_clock.due = due->QuadPart;
            return g_clock.timerFails ? FALSE : TRUE;
        };
        SYSTEM(WaitForSingleObject) = [](HANDLE object, DWORD) -> DWORD {
            EXPECT_EQ(kTimer, object);
            EXPECT_LT(g_clock.due, 0) << "not a relative due time";
            ++g_clock.timerWaits;
            g_clock.Pass(static_cast<std::uint64_t>(-g_clock.due) * g_clock.frequency / 10000000);
            return WAIT_OBJECT_0;
        };
        SYSTEM(Sleep) = [](DWORD milliseconds) {
            g_clock.sleeps.push_back(milliseconds);
            g_clock.Pass(std::uint64_t{milliseconds} * g_clock.frequency / 1000);
        };
        SYSTEM(CloseHandle) = [](HANDLE handle) -> BOOL {
            EXPECT_EQ(kTimer, handle);
            ++g_clock.closedTimers;
            return TRUE;
        };
    }
    void TearDown() override { RestoreSystemCalls(); }

    // The pause, and the receiver's idle step, of `milliseconds`; returns
    // how long it took.
    static double Pause(bool idleStep, std::uint32_t milliseconds)
    {
        const double start = g_clock.Milliseconds();
        if (idleStep) {
            DefaultServices().waitForInput(kPort, milliseconds);
        } else {
            DefaultServices().sleepMilliseconds(milliseconds);
        }
        return g_clock.Milliseconds() - start;
    }
};

TEST_F(Win32Clock, PausesOnAHighResolutionTimerAndNeverEndEarly)
{
    for (const bool idleStep : {false, true}) {
        const std::uint32_t milliseconds = idleStep ? 10 : 20;
        g_clock.timerFlags.clear();
        g_clock.closedTimers = 0;
        g_clock.timerWaits = 0;
        const double took = Pause(idleStep, milliseconds);
        EXPECT_GE(took, milliseconds) << "idle step " << idleStep;
        EXPECT_LT(took, milliseconds + 0.01) << "idle step " << idleStep;
        EXPECT_GT(g_clock.timerWaits, 1U) << "the early end was not waited out";
        ASSERT_EQ(1U, g_clock.timerFlags.size());
        EXPECT_NE(0U, g_clock.timerFlags[0] & kHighResolutionTimer);
        EXPECT_EQ(1U, g_clock.closedTimers) << "the timer leaked";
    }
    EXPECT_TRUE(g_clock.sleeps.empty());
}

TEST_F(Win32Clock, PausesWithSleepWhereTheTimerIsRefused)
{
    for (const bool setFails : {false, true}) {
        g_clock.timerRefused = !setFails;
        g_clock.timerFails = setFails;
        g_clock.sleeps.clear();
        g_clock.closedTimers = 0;
        for (const bool idleStep : {false, true}) {
            const std::uint32_t milliseconds = idleStep ? 10 : 20;
            EXPECT_GE(Pause(idleStep, milliseconds), milliseconds) << "set fails " << setFails;
        }
        ASSERT_FALSE(g_clock.sleeps.empty());
        EXPECT_EQ(20U, g_clock.sleeps[0]);
        EXPECT_EQ(setFails ? 2U : 0U, g_clock.closedTimers);
    }
}

TEST_F(Win32Clock, TheTickCountsMillisecondsAndWrapsAt32Bits)
{
    // 3.58 MHz (the ACPI timer), 10 MHz (Windows 10), 2.9 GHz (the CPU's
    // own counter, where counts * 1000 passes 2^64 after 73 days).
    for (const std::uint64_t frequency : {3579545ULL, 10000000ULL, 2900000000ULL}) {
        g_clock.frequency = frequency;
        // The first count of millisecond `ms`, and the last one.
        auto firstCount = [frequency](std::uint64_t ms) {
            return static_cast<std::uint64_t>((static_cast<unsigned __int128>(ms) * frequency + 999) / 1000);
        };
        auto tickAt = [](std::uint64_t count) {
            g_clock.count = count;
            return DefaultServices().tickMilliseconds();
        };
        for (const std::uint64_t wrap : {1ULL << 32, 3ULL << 32}) {
            for (const std::uint64_t ms : {wrap - 3, wrap - 1, wrap, wrap + 3}) {
                EXPECT_EQ(static_cast<std::uint32_t>(ms), tickAt(firstCount(ms))) << frequency << " Hz, " << ms;
                EXPECT_EQ(static_cast<std::uint32_t>(ms), tickAt(firstCount(ms + 1) - 1))
                    << frequency << " Hz, " << ms;
            }
            const std::uint32_t before = tickAt(firstCount(wrap - 3));
            EXPECT_EQ(6U, static_cast<std::uint32_t>(tickAt(firstCount(wrap + 3)) - before));
        }
    }
}

// The real timer, under Wine or Windows: no pause ends early by the counter
// that applications measure with. A loaded machine only makes them longer.
TEST(Win32Pause, NeverEndsEarlyOnTheRealClock)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    for (int i = 0; i < 20; ++i) {
        for (const bool idleStep : {false, true}) {
            const std::uint32_t milliseconds = idleStep ? 10 : 20;
            LARGE_INTEGER start;
            LARGE_INTEGER end;
            QueryPerformanceCounter(&start);
            if (idleStep) {
                DefaultServices().waitForInput(kPort, milliseconds);
            } else {
                DefaultServices().sleepMilliseconds(milliseconds);
            }
            QueryPerformanceCounter(&end);
            EXPECT_GE((end.QuadPart - start.QuadPart) * 1000, static_cast<LONGLONG>(milliseconds) * frequency.QuadPart)
                << "idle step " << idleStep;
        }
    }
}

}  // namespace
}  // namespace gpiolink

// The pseudo-terminal plumbing (POSIX only): a pty whose slave side a host
// opens as its serial port, while the owner reads and writes the master.
#ifndef GPIO_TOOLS_PTY_PORT_H
#define GPIO_TOOLS_PTY_PORT_H

#include <string>

#include "wire_codec.h"

namespace gpio_tools {

// Sets a terminal to 38400 baud, 8N1, raw: no echo, no flow control, no
// byte rewritten, reads return what is there. False when the system refuses.
bool SetRaw38400(int fd);

// Writes all of `bytes` to a non-blocking descriptor; with `pace`, a byte
// per byte time at 38400 baud. Waits up to a second at a time for the
// descriptor to take bytes; false when it gives up or the write fails.
bool WriteFully(int fd, const Bytes &bytes, bool pace);

class PtyPort {
public:
    // Opens a pty and sets its slave side raw. Throws std::runtime_error
    // when the system refuses.
    PtyPort();
    ~PtyPort();

    PtyPort(const PtyPort &) = delete;
    PtyPort &operator=(const PtyPort &) = delete;

    // The master side, non-blocking; -1 once closed.
    int Master() const { return master_; }

    // The port name relative to /dev/ ("pts/5") and the full slave path.
    std::string PortName() const;
    std::string SlavePath() const { return slavePath_; }

    // Writes to the master (WriteFully). Bytes the slave's queue will not
    // take within a second are dropped, like a line nobody listens to.
    void Write(const Bytes &bytes, bool pace) { WriteFully(master_, bytes, pace); }

    // Closes both sides: the host sees a hung-up line.
    void Close();

private:
    int master_ = -1;
    int slave_ = -1;  // held open so the line never hangs up between opens
    std::string slavePath_;
};

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_PTY_PORT_H

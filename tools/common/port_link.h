// The --link option of gpio-sim and gpio-tap: a symbolic link to the pty,
// so that a program can be given a fixed name (a Wine COM port, say).
#ifndef GPIO_TOOLS_PORT_LINK_H
#define GPIO_TOOLS_PORT_LINK_H

#include <string>

namespace gpio_tools {

// Whether a link with this target is one of the tools' own kind: a link to
// a pseudo-terminal, /dev/pts/N, which a run of gpio-sim or gpio-tap that
// did not clean up leaves behind. /dev/pts itself is no such target.
bool IsPtyLinkTarget(const std::string &target);

// The link, from its creation to its removal. Its folder is opened once,
// and the name is checked, replaced and removed relative to that folder:
// a folder on the path that is swapped for a link to another folder in the
// meantime cannot turn the work on the checked name into work on a file
// elsewhere.
class PortLink {
public:
    PortLink() = default;
    // Removes the link (Remove).
    ~PortLink();
    PortLink(const PortLink &) = delete;
    PortLink &operator=(const PortLink &) = delete;

    // Creates `link` -> `target`. An existing link is replaced only when it
    // points at a pseudo-terminal; any other file, or a link to anything
    // else, is the user's own and is left alone. On failure, says why on
    // stderr after `program`.
    bool Create(const char *program, const std::string &link, const std::string &target);

    // Removes the link if it still points at its target.
    void Remove();

private:
    int folder_ = -1;  // the link's folder, opened with O_PATH
    std::string name_;
    std::string target_;
};

// Tells where the tool's pty is, on stdout: "port: NAME", "path: PATH" and
// "link: LINK" lines (no link line without one), or under --json one
// object {"port":...,"path":...,"link":...}.
void AnnouncePort(const std::string &port, const std::string &path, const std::string &link, bool json);

}  // namespace gpio_tools

#endif  // GPIO_TOOLS_PORT_LINK_H

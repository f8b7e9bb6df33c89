#ifndef WIREPROGRESS_H
#define WIREPROGRESS_H

#include <cstdint>
#include <map>

// Progress on the wire, as the kernel sees it: the bytes that the peer has
// acknowledged, and the bytes received from it, on each of this process's TCP
// connections to a port.
// Qt's own progress stops once the tail of a body sits in the kernel's send
// buffer, while a slow link may take many seconds to drain it; the peer's
// acknowledgements keep moving until the last byte is in.
// Linux only (TCP_INFO); elsewhere nothing ever advances.
class WireProgress {
public:
    explicit WireProgress(std::uint16_t peerPort);

    // True when a connection to the port has had more bytes acknowledged or
    // received since the last call. A connection that appears counts only once
    // it has moved more than its SYN; one that disappears never counts.
    bool advanced();
    // Whether the last call saw any connection to the port, or any connection
    // of this process still being opened (whose port cannot be told yet).
    bool connected() const;
    // The bytes received from the port since this object was made, as of the last call.
    std::uint64_t received() const;
    // How many exchanges with the port there have been, a request and its answer each: between
    // two calls, the fewer of the data segments sent and received. A large answer (many
    // segments in) or a large request (many out) counts as one; requests answered again and
    // again count each, however fast they come.
    std::uint64_t exchanges() const { return exchangeCount; }
    // Shuts down this process's connections to the port: Qt's thread may be
    // reading a flood from one in a loop that nothing else stops.
    void shutDown() const;
    // Turns Nagle's algorithm off on every TCP connection of this process
    // (advanced() does so too, at each call). Qt never
    // does: the last small segment of a body, or a body behind its headers
    // on a reused connection, then waits for the peer's delayed ACK, about
    // 40 ms an exchange. On Linux it also sends at once what Nagle holds.
    // True when a connection to the port was among them.
    bool sendWithoutDelay();

private:
    // What one connection has sent and received, by the kernel's count.
    struct Counts {
        std::uint64_t received = 0;
        std::uint64_t segmentsSent = 0;
        std::uint64_t segmentsReceived = 0;
    };
    // The sum over connections, of what each did since this object was made.
    Counts since() const;

    std::uint16_t port;
    std::map<unsigned long, std::uint64_t> movedByInode;
    std::map<unsigned long, Counts> atStart;  // of the connections that were there already
    std::map<unsigned long, Counts> byInode;  // a connection that is gone keeps its last counts
    Counts atLastCall;
    std::uint64_t exchangeCount = 0;
    bool started = false;
    bool opening = false;
};

#endif

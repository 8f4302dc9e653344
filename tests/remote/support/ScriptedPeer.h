// SPDX-License-Identifier: Apache-2.0
// A stand-in for the debugger front end: a thread with its own UDP socket on 127.0.0.1 that
// records every datagram the client sends and answers as the test's script says.
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// How the peer cuts a reply into fragments and what it slips in between them.
struct ReplyShape {
    int fragmentBytes = 0;         // data bytes per fragment; 0: packet length - 4
    uint8_t moreContinuation = 1;  // continuation byte of every fragment but the last
    std::map<size_t, std::vector<Bytes>> before;  // datagrams sent just before fragment n
    std::vector<size_t> order;  // the fragments' indexes in the order sent; empty: in sequence
};

class ScriptedPeer {
  public:
    // Runs on the peer's thread with the datagram (or, for requests, the whole message).
    using Handler = std::function<void(ScriptedPeer& peer, const Bytes& received)>;

    ScriptedPeer();
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    uint16_t port() const noexcept { return port_; }

    // The script; set it before the client acts. By default the peer accepts the connect request
    // with a datagram as long as the request, answers every sync request and answers every
    // non-empty request with flags 0, status 0 and the request's message id.
    void onConnect(Handler handler);
    void onSync(Handler handler);
    void onRequest(Handler handler);
    // Flow tokens the peer hands out in all, -1 for no limit.
    void setFlowTokenLimit(int tokens);
    // The peer's own next sequence number, announced by its sync replies.
    void setSequence(uint16_t sequence);
    // Datagrams sent just before every flow token.
    void setBeforeToken(std::vector<Bytes> datagrams);
    // The token after a request's last fragment goes after the reply, as a network that
    // reorders them delivers it.
    void setTokenAfterReply(bool after);

    // Answers, for handlers.
    void send(const Bytes& datagram);
    void sendFromStranger(const Bytes& datagram);
    void acceptConnect(size_t length);
    void sendSyncReply();
    // Sends the message in reply fragments numbered from the peer's sequence, leaving out the
    // `lost` ones (numbered all the same); returns the first number.
    uint16_t sendReply(const Bytes& message, const ReplyShape& shape = {},
                       const std::set<size_t>& lost = {});
    void repeatPreviousReply();
    // For handlers: the fragments of the reply sent last.
    const std::vector<Bytes>& previousReply() const noexcept { return previousReply_; }
    // For handlers: the sequence number of the request fragment that completed the request.
    uint16_t lastFragmentSequence() const noexcept { return lastFragmentSequence_; }

    // What the client sent, complete up to this call.
    std::vector<Bytes> datagrams();
    std::vector<Bytes> datagramsOfType(uint8_t type);
    std::vector<Bytes> requests();
    int tokensSent();

    static Bytes replyMessage(uint8_t flags, uint8_t status, uint8_t id, const Bytes& data = {});
    // A datagram of `length` bytes with the type, the sequence number and the link magic.
    static Bytes controlDatagram(uint8_t type, uint16_t sequence, size_t length = 16);

  private:
    void run();
    void dispatch(const Bytes& datagram);
    void takeFragment(const Bytes& datagram);
    Handler handler(const Handler& slot);
    void fence();
    void sendFrom(int socket, const Bytes& datagram, const sockaddr_in& to);

    int socket_ = -1;    // the peer's own
    int control_ = -1;   // fences and the stop signal
    int stranger_ = -1;  // someone else on the network
    uint16_t port_ = 0;
    uint16_t controlPort_ = 0;
    sockaddr_in self_{};
    sockaddr_in client_{};

    std::mutex mutex_;
    std::condition_variable fenced_;
    int fences_ = 0;
    std::vector<Bytes> datagrams_;
    std::vector<Bytes> requests_;
    Handler onConnect_;
    Handler onSync_;
    Handler onRequest_;
    int tokenLimit_ = -1;
    int tokensSent_ = 0;
    std::vector<Bytes> beforeToken_;
    bool tokenAfterReply_ = false;
    uint16_t sequence_ = 4000;

    // Only the peer's thread touches these.
    size_t packetLength_ = 1024;
    Bytes pending_;
    size_t pendingBytes_ = 0;
    std::vector<Bytes> previousReply_;
    uint16_t lastFragmentSequence_ = 0;

    std::thread thread_;
};

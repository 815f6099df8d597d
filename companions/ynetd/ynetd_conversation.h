// One conversation with a client, as a state machine the event loop drives:
// the version handshake, then requests until the client disconnects, hands
// the connection over, falls out of step or runs out of time. Each step
// runs only when what it reads has arrived whole, so none of them waits on
// the client; a hand-over waits for its listener's answer in the loop too.
#ifndef YNETD_CONVERSATION_H
#define YNETD_CONVERSATION_H

#include <cstddef>
#include <string>

#include "crconf.h"
#include "ynet.h"
#include "ynetd.h"
#include "yq_memory.h"

namespace ynetd {

class Conversation {
public:
    // `opening` is the connection's log line (who connected to what).
    Conversation(yq::unique_fd conn, std::string opening, const Settings &settings,
                 Clock::time_point now);
    ~Conversation();  // writes the conversation's log line
    Conversation(const Conversation &) = delete;
    Conversation &operator=(const Conversation &) = delete;

    void on_client(Clock::time_point now);    // the client's socket became readable
    void on_listener(Clock::time_point now);  // the hand-over's listener answered
    void on_deadline(Clock::time_point now);  // deadline() has passed
    void end(const char *why);                // ended from outside (the daemon stops)
    // The client will send no more: an item begun will never be whole.
    void peer_closed() { peer_closed_ = true; }

    bool done() const { return state_ == State::Done; }
    Clock::time_point deadline() const;
    int client_fd() const { return conn_.get(); }
    int listener_fd() const { return uds_.get(); }  // -1 when no hand-over waits

private:
    enum class State { Offer, Echo, Request, Argument, Field, Retry, HandOver, Done };

    struct ServiceList {
        ynet_service_entry *head = nullptr;
        ~ServiceList() { ynet_free_service_list(&head); }
    };
    struct InfoRecord {
        crconf_info_rec *info = nullptr;
        ~InfoRecord() { crconf_free_info(&info); }
    };

    std::size_t item_limit() const;
    bool step(Clock::time_point now);  // one whole item; false when none waits
    void offer();
    void echo();
    void request();
    void argument(Clock::time_point now);
    void field();
    bool reading_answers();

    void daemon_socket(Clock::time_point now);
    void service_socket(Clock::time_point now);
    void next_registration(Clock::time_point now);
    void reach(Clock::time_point now);
    void unreachable();
    void start_command(const ynet_service_entry &entry);
    bool answer_field(const char *field);

    void answer(int status);
    void refuse(long code, int status, const char *why);
    void note(const char *format, ...) __attribute__((format(printf, 2, 3)));
    void finish();

    yq::unique_fd conn_;
    yq::unique_fd uds_;  // the listener a hand-over waits on
    std::string opening_;
    std::string notes_;
    const Settings &settings_;
    const Clock::time_point start_;
    Clock::time_point waiting_since_;  // the last whole item, or the hand-over's start
    State state_ = State::Offer;
    int timeout_;
    int protocol_ = -1;
    bool peer_closed_ = false;
    long code_ = -1;  // the request whose argument is awaited

    // Hand-over in progress: the listener, its hash, and for request 6 the
    // registrations still to try.
    std::string target_;
    char hash_str2_[YNETD_HASH_SIZE] = "";
    bool connect_back_ = false;
    int target_pid_ = 0;
    Clock::time_point busy_since_{};
    Clock::time_point retry_at_{};
    ServiceList services_;
    const ynet_service_entry *next_entry_ = nullptr;
    int last_failure_ = 0;
    std::string service_;
    InfoRecord record_;
};

}  // namespace ynetd

#endif

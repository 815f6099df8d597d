// The broker daemon: issues, renews and validates credentials for the
// library's callers. One TLS connection per request; a thread per
// conversation, each bounded in time.
#ifndef YORBAT_BROKER_H
#define YORBAT_BROKER_H

#include <netinet/in.h>

#include <mutex>
#include <string>

#include "yorbat_protocol.h"
#include "yorbat_x509.h"

namespace yorbat::broker {

struct Settings {
    std::string home;  // empty: the library's install directory
    int port = YORBAT_DEFAULT_BROKER_PORT;
    std::string listen_address = "0.0.0.0";
    bool foreground = false;
    std::string pid_file;
    std::string debug_log;
    std::string pam_service = "yorbat";
    long lifetime_days = 30;
    int max_clients = 1024;  // conversations at once; more wait in the backlog
};

// Parses the command line into `settings`: -1 to run, otherwise the exit
// status (0 after --help, 2 after a usage message for a bad option).
int parse_options(int argc, char **argv, Settings &settings);

// What the broker needs to answer: fixed once it runs, shared read-only by
// every conversation.
struct Authority {
    x509::Credential root;  // with its key: signs what is issued
    x509::Credential own;   // the broker's credential, shown to clients
    std::string root_certificate_pem;
    std::string host;       // "unixpwd@HOST", "localhost@HOST": the registry's qualified host
    long lifetime_seconds = 0;
    std::string pam_service;
};

// Loads HOME/broker/root.pem and broker.pem: 0, or a message in `why`.
int load_authority(const Settings &settings, Authority &authority, std::string &why);

// The far end of a conversation.
struct Peer {
    sockaddr_in local{}, remote{};
    std::string certificate_pem;  // the client's certificate; "" when none
};
std::string address_text(const sockaddr_in &address);

// ---- Requests.

struct Outcome {
    int result = YORBAT_OK;
    protocol::Message answer;
    std::string principal;  // for the debug log: MECHANISM:DOMAIN/NAME
};
// The answer to one parsed request (never throws; out of memory is 0x6003).
Outcome answer_request(const Authority &authority, const Peer &peer, const protocol::Message &request) noexcept;

// ---- Mechanisms: who may log in, who exists.

// A login's principal; 0 or the result to answer.
int log_in(const Authority &authority, const Peer &peer, const protocol::Message &request,
           x509::Principal &principal);
// 0 while a principal named in an earlier credential still exists;
// YORBAT_CREDENTIAL_REVOKED when it is gone.
int still_exists(const Authority &authority, const x509::Principal &principal);
// The user or group a validation asks for: name, qualified domain, number.
struct Identity {
    std::string name, domain;
    long number = 0;
};
int find_user(const Authority &authority, const protocol::Message &request, Identity &identity);
int find_group(const Authority &authority, const protocol::Message &request, Identity &identity);

// ---- The debug log: one line per request, never a password.
class DebugLog {
public:
    // An empty path keeps no log; false when the file cannot be opened.
    bool open(const std::string &path);
    void line(const Peer &peer, std::string_view op, std::string_view principal, int result) noexcept;
    ~DebugLog();

private:
    std::mutex mutex_;
    int fd_ = -1;
};

// ---- The listener and the conversations.

// Binds and listens: the socket, or -1 with a message in `why`.
int listen_on(const Settings &settings, std::string &why);
// Serves connections on `listener` until `stop_fd` becomes readable, then
// drops the conversations still running and waits for their threads.
void serve(int listener, int stop_fd, const Settings &settings, const Authority &authority, DebugLog &log);

}  // namespace yorbat::broker

#endif

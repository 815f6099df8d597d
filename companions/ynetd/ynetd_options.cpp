// Command line and configuration file of ynetd.
//
// The configuration file holds one "KEY = value" a line (keys as the long
// options, upper case, '-' written '_'); '#' starts a comment and a value with
// blanks is quoted. It is read first, so the command line overrides it. The
// file is read through the library's text-file layer, which also joins lines
// that end in a backslash.
#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "ynetd.h"
#include "yq_paths.h"
#include "ystrings.h"
#include "ytext.h"

namespace ynetd {

namespace {

const char kUsage[] =
    "usage: ynetd [OPTION]...\n"
    "The port-multiplexing daemon: accepts connections on the ynetd port, agrees a\n"
    "protocol version (1 to 3) with each client and serves its requests: no-op (0),\n"
    "disconnect (1), hand-over to a local listener (2, and 3 with a hash pair),\n"
    "hand-over to a registered service (6), product version (8) and security\n"
    "information from this host's configuration record (9).\n"
    "\n"
    "  -p, --port=PORT              TCP port to listen on (default: the \"ynetd\"\n"
    "                               entry of the services database, else 13724)\n"
    "  -c, --config=FILE            read settings from FILE first; the options below\n"
    "                               override it (keys: PORT, VERSION_TEXT,\n"
    "                               MAX_PROTOCOL, ITEM_TIMEOUT, CONVERSATION_LIMIT,\n"
    "                               MAX_CONVERSATIONS, MAX_PER_ADDRESS, PID_FILE)\n"
    "  -f, --foreground             stay in the foreground; print \"ynetd: listening on\n"
    "                               port PORT\" when ready (default: detach and run as\n"
    "                               a daemon)\n"
    "      --version-text=TEXT      product version text answered to request 8\n"
    "                               (default: 510000, release 5.1)\n"
    "      --max-protocol=N         highest protocol version offered, 1 to 3 (default: 3)\n"
    "      --handshake-timeout=SECONDS\n"
    "                               time from a connection to its agreed protocol\n"
    "                               version (default: 10)\n"
    "      --item-timeout=SECONDS   time a client has for each whole item it sends\n"
    "                               (a request and each of its arguments), counted\n"
    "                               from the daemon's last answer (default: 30)\n"
    "      --conversation-limit=SECONDS\n"
    "                               time a conversation may last from its connection\n"
    "                               before it is ended (default: 300)\n"
    "      --max-conversations=N    conversations served at once; further clients wait\n"
    "                               in the listen backlog (default: 4096, fewer when\n"
    "                               the descriptor limit allows fewer)\n"
    "      --max-per-address=N      conversations served at once for one client\n"
    "                               address; a further connection from it is closed\n"
    "                               at once (default: 128)\n"
    "      --pid-file=FILE          write the daemon's process id to FILE\n"
    "      --log-requests           log each step of a conversation as it happens,\n"
    "                               besides the one line each conversation gets\n"
    "  -v, --verbose                copy every library report to standard error\n"
    "  -h, --help                   show this text and exit\n"
    "\n"
    "The security information of request 9 comes from the product configuration\n"
    "(" YQ_CW_CONF_NAME ", read through libYcrconf). Registered services are found in the\n"
    "service files of the rendezvous directory (" YQ_PATH_YNETD_DIR "/NAME.txt).\n"
    "Each conversation is written as one line to the debug log\n"
    YQ_PATH_LOG_DIR "/ynetd/log.MMDDYY. SIGTERM stops the daemon: it stops\n"
    "accepting, ends the conversations still running and exits.\n";

enum LongOnly {
    kVersionText = 256,
    kMaxProtocolOption,
    kHandshakeTimeout,
    kItemTimeout,
    kLogRequests,
    kConversationLimit,
    kMaxConversations,
    kMaxPerAddress,
    kPidFile,
};

bool to_int(const char *text, int low, int high, int &out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < low || value > high) return false;
    out = static_cast<int>(value);
    return true;
}

// Applies one setting by its configuration key; false when the key is
// unknown or the value unusable.
bool apply(Settings &settings, const std::string &key, const char *value) {
    if (key == "PORT") return to_int(value, 1, 65535, settings.port);
    if (key == "MAX_PROTOCOL") return to_int(value, 1, kMaxProtocol, settings.max_protocol);
    if (key == "HANDSHAKE_TIMEOUT")
        return to_int(value, 1, 3600, settings.handshake_timeout);
    if (key == "ITEM_TIMEOUT") return to_int(value, 1, 3600, settings.item_timeout);
    if (key == "LOG_REQUESTS") {
        int on = 0;
        if (!to_int(value, 0, 1, on)) return false;
        settings.log_requests = on == 1;
        return true;
    }
    if (key == "CONVERSATION_LIMIT")
        return to_int(value, 1, 86400, settings.conversation_limit);
    if (key == "MAX_CONVERSATIONS")
        return to_int(value, 1, 65536, settings.max_conversations);
    if (key == "MAX_PER_ADDRESS")
        return to_int(value, 1, 65536, settings.max_per_address);
    if (key == "VERSION_TEXT") {
        // Request 8's answer must fit the client's 1024-byte buffer.
        if (value == nullptr || *value == '\0' || std::strlen(value) > 1023) return false;
        settings.version_text = value;
        return true;
    }
    if (key == "PID_FILE") {
        if (value == nullptr || *value == '\0') return false;
        settings.pid_file = value;
        return true;
    }
    return false;
}

// One setting of the configuration file: the line's key and value.
struct ConfigItem {
    std::string key;
    std::string value;
};

// Parse callback of the text-file layer: a line without a key is no item.
int parse_config_line(const char *line, void **item) {
    *item = nullptr;
    std::unique_ptr<char, decltype(&std::free)> copy(strdup(line), &std::free);
    if (!copy) return YTEXT_NO_MEMORY;
    char *text = copy.get();
    if (char *nl = std::strchr(text, '\n')) *nl = '\0';
    char *start = ytext_skip_space(text);
    if (*start == '\0') return YTEXT_SUCCESS;
    char *equals = std::strchr(start, '=');
    auto *out = new (std::nothrow) ConfigItem{};
    if (out == nullptr) return YTEXT_NO_MEMORY;
    if (equals == nullptr) {
        out->key = start;  // reported as a line without a value
        *item = out;
        return YTEXT_SUCCESS;
    }
    *equals = '\0';
    char *key = start;
    ytext_skip_no_space(&key);
    char *value = ytext_skip_space(equals + 1);
    ytext_skip_no_space(&value);
    out->key = key;
    out->value = value;
    for (char &c : out->key) c = (c == '-') ? '_' : static_cast<char>(std::toupper(c));
    *item = out;
    return YTEXT_SUCCESS;
}

void free_config_item(void **item) {
    delete static_cast<ConfigItem *>(*item);
    *item = nullptr;
}

bool read_config(const std::string &path, Settings &settings) {
    ytext_handle *handle = nullptr;
    int status = ytext_open(path.c_str(), YTEXT_MODE_READ, parse_config_line, nullptr,
                            free_config_item, &handle);
    if (status != YTEXT_SUCCESS) {
        std::fprintf(stderr, "ynetd: cannot read %s (text-file status %d)\n", path.c_str(),
                     status);
        return false;
    }
    bool ok = true;
    for (;;) {
        void *raw = nullptr;
        status = ytext_get_next_item(handle, &raw);
        if (status != YTEXT_SUCCESS || raw == nullptr) break;
        std::unique_ptr<ConfigItem> item(static_cast<ConfigItem *>(raw));
        if (!apply(settings, item->key, item->value.c_str())) {
            std::fprintf(stderr, "ynetd: %s: bad setting \"%s\"\n", path.c_str(),
                         item->key.c_str());
            ok = false;
        }
    }
    if (status != YTEXT_SUCCESS) {
        std::fprintf(stderr, "ynetd: %s: read failed (text-file status %d)\n", path.c_str(),
                     status);
        ok = false;
    }
    ytext_close(&handle, 0);
    return ok;
}

int usage_error(const char *text, const char *value) {
    std::fprintf(stderr, "ynetd: %s%s%s\nTry 'ynetd --help' for more information.\n", text,
                 value != nullptr ? ": " : "", value != nullptr ? value : "");
    return 2;
}

}  // namespace

int parse_options(int argc, char **argv, Settings &settings) {
    static const option kOptions[] = {
        {"port", required_argument, nullptr, 'p'},
        {"config", required_argument, nullptr, 'c'},
        {"foreground", no_argument, nullptr, 'f'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {"version-text", required_argument, nullptr, kVersionText},
        {"max-protocol", required_argument, nullptr, kMaxProtocolOption},
        {"handshake-timeout", required_argument, nullptr, kHandshakeTimeout},
        {"item-timeout", required_argument, nullptr, kItemTimeout},
        {"log-requests", no_argument, nullptr, kLogRequests},
        {"conversation-limit", required_argument, nullptr, kConversationLimit},
        {"max-conversations", required_argument, nullptr, kMaxConversations},
        {"max-per-address", required_argument, nullptr, kMaxPerAddress},
        {"pid-file", required_argument, nullptr, kPidFile},
        {nullptr, 0, nullptr, 0},
    };

    // The configuration file is read first, wherever --config stands.
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *file = nullptr;
        if ((std::strcmp(arg, "-c") == 0 || std::strcmp(arg, "--config") == 0) && i + 1 < argc)
            file = argv[i + 1];
        else if (std::strncmp(arg, "--config=", 9) == 0)
            file = arg + 9;
        if (file != nullptr) {
            settings.config_file = file;
            if (!read_config(settings.config_file, settings)) return 2;
        }
    }

    optind = 1;
    opterr = 1;
    for (;;) {
        int c = getopt_long(argc, argv, "p:c:fvh", kOptions, nullptr);
        if (c == -1) break;
        switch (c) {
        case 'p':
            if (!apply(settings, "PORT", optarg)) return usage_error("bad port", optarg);
            break;
        case 'c':
            break;  // already read
        case 'f':
            settings.foreground = true;
            break;
        case 'v':
            settings.verbose = true;
            break;
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        case kVersionText:
            if (!apply(settings, "VERSION_TEXT", optarg))
                return usage_error("bad version text", optarg);
            break;
        case kMaxProtocolOption:
            if (!apply(settings, "MAX_PROTOCOL", optarg))
                return usage_error("protocol version must be 1, 2 or 3", optarg);
            break;
        case kHandshakeTimeout:
            if (!apply(settings, "HANDSHAKE_TIMEOUT", optarg))
                return usage_error("bad handshake time-out", optarg);
            break;
        case kLogRequests:
            settings.log_requests = true;
            break;
        case kItemTimeout:
            if (!apply(settings, "ITEM_TIMEOUT", optarg))
                return usage_error("bad item time-out", optarg);
            break;
        case kConversationLimit:
            if (!apply(settings, "CONVERSATION_LIMIT", optarg))
                return usage_error("bad conversation limit", optarg);
            break;
        case kMaxConversations:
            if (!apply(settings, "MAX_CONVERSATIONS", optarg))
                return usage_error("bad number of conversations", optarg);
            break;
        case kMaxPerAddress:
            if (!apply(settings, "MAX_PER_ADDRESS", optarg))
                return usage_error("bad number of conversations per address", optarg);
            break;
        case kPidFile:
            if (!apply(settings, "PID_FILE", optarg)) return usage_error("bad pid file", optarg);
            break;
        default:
            return usage_error("bad option", nullptr);
        }
    }
    if (optind < argc) return usage_error("unexpected argument", argv[optind]);
    return -1;
}

}  // namespace ynetd

// Allocation-failure sweep: every public function here that allocates is
// called once with its k-th allocation failing, for k = 1, 2, ... until a call
// no longer reaches the k-th. At each k the call must report its failure (its
// status, or NULL), leave nothing allocated once its outputs are released,
// and never let bad_alloc out (the C entry points are noexcept: an escaped
// exception ends the program, and the terminate handler names the case).
//
// usage: alloc_sweep [--short] [NAME...]   (inside tests/sandbox/yq-sandbox)
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "alloc_interposer.h"
#include "avl.h"
#include "cmnutils.h"
#include "crconf.h"
#include "cstr.h"
#include "cstra.h"
#include "cstrvsa.h"
#include "kdmsg.h"
#include "misc.h"
#include "tempnam.h"
#include "ynet.h"
#include "yss_auth.h"
#include "ytext.h"

namespace {

// What one call did: ok (the function's success, its output checked), or the
// failure it reported (a status, or -1 for NULL).
struct Outcome {
    bool ok;
    int status;
};
Outcome ok() { return {true, 0}; }
Outcome failed(int status) { return {false, status}; }
Outcome wrong() { return {false, 9999}; }  // "success" with a wrong result
Outcome from_string(char *s, const char *expected) {
    if (s == nullptr) return failed(-1);
    const bool same = std::strcmp(s, expected) == 0;
    std::free(s);
    return same ? ok() : wrong();
}

struct Case {
    const char *name;
    bool in_short;
    std::function<Outcome()> call;  // releases whatever it made before returning
    std::function<void()> reset;    // caches and files back to the start; may be empty
};

// The test's own inputs, made outside the count.
char *own_copy(const char *s) {
    alloc_interposer::Hold hold;
    return strdup(s);
}

char **array_of(std::initializer_list<const char *> items) {
    alloc_interposer::Hold hold;
    auto **a = static_cast<char **>(std::calloc(items.size() + 1, sizeof(char *)));
    size_t i = 0;
    for (const char *s : items) a[i++] = strdup(s);
    return a;
}

int compare_strings(const void *key, const void *item) {
    return std::strcmp(static_cast<const char *>(key), static_cast<const char *>(item));
}

int same_string(const void *key, const void *item) { return compare_strings(key, item) == 0; }

int parse_line(const char *line, void **item) {
    if (*line == '\0') return 0;
    *item = strdup(line);
    return *item != nullptr ? 0 : YTEXT_NO_MEMORY;
}
int unparse_line(const void *item, char **line) {
    *line = strdup(static_cast<const char *>(item));
    return *line != nullptr ? 0 : YTEXT_NO_MEMORY;
}
void free_line(void **item) {
    std::free(*item);
    *item = nullptr;
}

std::string scratch(const char *name) {
    alloc_interposer::Hold hold;
    const char *dir = std::getenv("YQ_SANDBOX_DIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + name;
}

void write_text(const std::string &path, const char *text) {
    alloc_interposer::Hold hold;
    FILE *f = std::fopen(path.c_str(), "w");
    std::fputs(text, f);
    std::fclose(f);
}

std::string read_text(const std::string &path) {
    alloc_interposer::Hold hold;
    char buf[256] = {0};
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        buf[n] = '\0';
        std::fclose(f);
    }
    return buf;
}

std::vector<Case> cases() {
    std::vector<Case> t;
    // ---- strings and arrays ----
    t.push_back({"cstrTRIM", true, [] { return from_string(cstrTRIM("  a b  ", CSTR_TRIM_ALL, " "), "ab"); }, {}});
    t.push_back({"cstrTokenGET", false, [] { return from_string(cstrTokenGET("a,\"b,c\",d", 2, ","), "\"b,c\""); }, {}});
    t.push_back({"cstrDQuotesCHECK", false, [] { return from_string(cstrDQuotesCHECK("a b"), "\"a b\""); }, {}});
    t.push_back({"cstrTOcstra", true, [] {
                     char **a = cstrTOcstra("one two three", " ");
                     if (a == nullptr) return failed(-1);
                     const bool same = cstraCOUNT(a) == 3 && std::strcmp(a[2], "three") == 0;
                     cstraFREE(a);
                     return same ? ok() : wrong();
                 }, {}});
    t.push_back({"cstraDUP", false, [] {
                     char **src = array_of({"x", "y", "z"});
                     char **a = cstraDUP(src);
                     cstraFREE(src);
                     if (a == nullptr) return failed(-1);
                     const bool same = cstraCOUNT(a) == 3;
                     cstraFREE(a);
                     return same ? ok() : wrong();
                 }, {}});
    t.push_back({"cstraAPPEND", false, [] {
                     char **a = array_of({"x"});
                     char **b = array_of({"y", "z"});
                     char **r = cstraAPPEND(a, b);
                     if (r == nullptr) {  // a and b stay as they were
                         cstraFREE(a);
                         cstraFREE(b);
                         return failed(-1);
                     }
                     const bool same = cstraCOUNT(r) == 3;
                     cstraFREE(r);
                     return same ? ok() : wrong();
                 }, {}});
    t.push_back({"cstraTOcstr", false, [] {
                     char **a = array_of({"p", "q"});
                     char *s = cstraTOcstr(a, ", ");
                     cstraFREE(a);
                     return from_string(s, "p, q");
                 }, {}});
    t.push_back({"cstraDIFF", false, [] {
                     char *a[] = {const_cast<char *>("a"), const_cast<char *>("b"), const_cast<char *>("c"), nullptr};
                     char *b[] = {const_cast<char *>("b"), nullptr};
                     char **d = cstraDIFF(a, b);
                     if (d == nullptr) return failed(-1);
                     const bool same = cstraCOUNT(d) == 2;
                     cstraFREE(d);
                     return same ? ok() : wrong();
                 }, {}});
    t.push_back({"cstrvsaAPPEND", true, [] {
                     cstrvsa_handle *h = cstrvsaNEW(0, 2);
                     if (h == nullptr) return failed(-1);
                     Outcome out = ok();
                     for (int i = 0; i < 5 && out.ok; ++i) {
                         char *s = own_copy("item");
                         if (cstrvsaAPPEND(h, s) == nullptr) {
                             std::free(s);
                             out = failed(-1);
                         }
                     }
                     if (out.ok && cstrvsaCOUNT(h) != 5) out = wrong();
                     cstrvsaFREEALL(h);
                     return out;
                 }, {}});
    t.push_back({"cstrTokenOBTAIN", false, [] { return from_string(cstrTokenOBTAIN("a::b::c", 2, "::"), "b"); }, {}});
    t.push_back({"cstrvsaINSERT+ATTACH", false, [] {
                     char **array = array_of({"b", "d"});
                     cstrvsa_handle *h = cstrvsaATTACH(array, 1);
                     if (h == nullptr) {
                         cstraFREE(array);
                         return failed(-1);
                     }
                     Outcome out = ok();
                     for (const char *s : {"a", "c"}) {
                         char *e = own_copy(s);
                         if (cstrvsaINSERT(h, e, *s == 'a' ? 0 : 2) == nullptr) {
                             std::free(e);
                             out = failed(-1);
                             break;
                         }
                     }
                     if (out.ok) {
                         char *joined = cstraTOcstr(cstrvsaVSARRAY(h), "");
                         out = joined == nullptr ? failed(-1) : from_string(joined, "abcd");
                     }
                     cstrvsaFREEALL(h);
                     return out;
                 }, {}});
    // ---- tree ----
    t.push_back({"AVLinsert", true, [] {
                     avl_tree *tree = AVLopen(compare_strings, nullptr);
                     if (tree == nullptr) return failed(-1);
                     static const char *keys[] = {"m", "c", "x", "a", "e", "z", "b"};
                     Outcome out = ok();
                     for (const char *k : keys)
                         if (AVLinsert(tree, const_cast<char *>(k)) == nullptr) out = failed(-1);
                     if (out.ok && AVLretrieve(tree, "e") == nullptr) out = wrong();
                     AVLclose(tree);
                     return out;
                 }, {}});
    // ---- misc ----
    t.push_back({"argValuesGET", false, [] {
                     char *argv[] = {const_cast<char *>("prog"), const_cast<char *>("-f"), const_cast<char *>("a"),
                                     const_cast<char *>("b"), const_cast<char *>("-g"), nullptr};
                     char **v = argValuesGET(argv, "-f");
                     if (v == nullptr) return failed(-1);
                     const bool same = cstraCOUNT(v) == 2;
                     cstraFREE(v);
                     return same ? ok() : wrong();
                 }, {}});
    t.push_back({"get_dir_list", false, [] {
                     int err = 0;
                     char **list = get_dir_list(scratch("dir").c_str(), &err);
                     if (list == nullptr) return failed(err);
                     const int n = cstraCOUNT(list);
                     free_dir_list(list);
                     return n == 3 ? ok() : wrong();
                 }, [] {
                     std::string d = scratch("dir");
                     mkdirpath(d.c_str(), 0755, nullptr);
                     for (const char *f : {"/a", "/b", "/c"}) write_text(d + f, "x");
                 }});
    t.push_back({"Y_tempnam", false, [] {
                     char *name = Y_tempnam(scratch("").c_str(), "sw");
                     if (name == nullptr) return failed(-1);
                     std::free(name);
                     return ok();
                 }, {}});
    t.push_back({"create_dlist_entry", false, [] {
                     dlist_entry *e = create_dlist_entry("name");
                     if (e == nullptr) return failed(-1);
                     std::free(e->name);
                     std::free(e);
                     return ok();
                 }, {}});
    t.push_back({"mkdirpath", false, [] {
                     int err = 0;
                     int status = mkdirpath(scratch("deep/er/path").c_str(), 0755, &err);
                     return status == 0 ? ok() : failed(err);
                 }, [] { rmdir(scratch("deep/er/path").c_str()), rmdir(scratch("deep/er").c_str()), rmdir(scratch("deep").c_str()); }});
    // ---- text files ----
    t.push_back({"ytext_dirname", false, [] { return from_string(ytext_dirname("/a/b/c"), "/a/b"); }, {}});
    t.push_back({"ytext_get_memory_line", false, [] {
                     char text[] = "first\nsecond\n";
                     char *cursor = text;
                     char *line = nullptr;
                     int status = ytext_get_memory_line(&cursor, &line);
                     if (status != 0) return failed(status);
                     return from_string(line, "first\n");
                 }, {}});
    t.push_back({"ytext_open+rewrite", true, [] {
                     ytext_handle *h = nullptr;
                     std::string path = scratch("items.txt");
                     int status = ytext_open(path.c_str(), YTEXT_MODE_UPDATE, parse_line, unparse_line, free_line, &h);
                     if (status != 0) return failed(status);
                     status = ytext_append_item(h, "three");
                     if (status != 0) {
                         ytext_close(&h, 0);
                         return failed(status);
                     }
                     status = ytext_close(&h, 1);
                     if (status != 0) return failed(status);
                     return read_text(path) == "one\ntwo\nthree\n" ? ok() : wrong();
                 }, [] { write_text(scratch("items.txt"), "one\ntwo\n"); }});
    t.push_back({"ytext_get_logical_memory_line", false, [] {
                     char text[] = "one \\\ntwo\nthree\n";
                     char *cursor = text;
                     char *line = nullptr;
                     int status = ytext_get_logical_memory_line(&cursor, &line);
                     if (status != 0) return failed(status);
                     return line != nullptr && std::strstr(line, "two") != nullptr ? (std::free(line), ok())
                                                                                     : (std::free(line), wrong());
                 }, {}});
    t.push_back({"ytext_open(memory)", false, [] {
                     ytext_handle *h = nullptr;
                     int status = ytext_open("a\nb\nc\n", YTEXT_MODE_MEMORY, parse_line, nullptr, free_line, &h);
                     if (status != 0) return failed(status);
                     int n = 0;
                     void *item = nullptr;
                     while ((status = ytext_get_next_item(h, &item)) == 0 && item != nullptr) {
                         ++n;
                         free_line(&item);
                     }
                     ytext_close(&h, 0);
                     if (status != 0 && status != YTEXT_NO_HANDLE) return failed(status);
                     return n == 3 ? ok() : status != 0 ? failed(status) : wrong();
                 }, {}});
    // ---- message catalogs ----
    t.push_back({"kdgetmsg", false, [] {
                     char buf[128];
                     int status = kdgetmsg("Kdm0000001N", "C", sizeof buf, buf, nullptr, 0, nullptr, "built-in %d", 7);
                     if (status != 0) return failed(status);
                     return std::strstr(buf, "7") != nullptr ? ok() : wrong();
                 }, [] { msgCacheUnload(1); }});
    // ---- name resolution copies, cache, service files ----
    t.push_back({"ynet_copy_hostent", true, [] {
                     static char name[] = "hostx";
                     static char alias1[] = "hx", alias2[] = "hx.example";
                     static char *aliases[] = {alias1, alias2, nullptr};
                     static in_addr_t a1 = htonl(0xC0000201), a2 = htonl(0xC0000202);
                     static char *addrs[] = {reinterpret_cast<char *>(&a1), reinterpret_cast<char *>(&a2), nullptr};
                     struct hostent src{};
                     src.h_name = name;
                     src.h_aliases = aliases;
                     src.h_addrtype = AF_INET;
                     src.h_length = 4;
                     src.h_addr_list = addrs;
                     struct hostent *copy = nullptr;
                     int status = ynet_copy_hostent(&src, &copy);
                     if (status != 0) return failed(status);
                     const bool same = copy != nullptr && std::strcmp(copy->h_aliases[1], "hx.example") == 0 &&
                                       std::memcmp(copy->h_addr_list[1], &a2, 4) == 0;
                     ynet_free_hostent(&copy);
                     return same ? ok() : wrong();
                 }, {}});
    t.push_back({"ynet_copy_servent", false, [] {
                     static char name[] = "svc", alias[] = "svc-alias", proto[] = "tcp";
                     static char *aliases[] = {alias, nullptr};
                     struct servent src{};
                     src.s_name = name;
                     src.s_aliases = aliases;
                     src.s_port = htons(4242);
                     src.s_proto = proto;
                     struct servent *copy = nullptr;
                     int status = ynet_copy_servent(&src, &copy);
                     if (status != 0) return failed(status);
                     const bool same = copy != nullptr && std::strcmp(copy->s_aliases[0], "svc-alias") == 0;
                     ynet_free_servent(&copy);
                     return same ? ok() : wrong();
                 }, {}});
    t.push_back({"ynet_cache_add_item", false, [] {
                     ynet_cache_table *table = nullptr;
                     int status = ynet_cache_init_table(&table, 4, 60, std::free, same_string);
                     if (status != 0) return failed(status);
                     char *item = own_copy("k");
                     status = ynet_cache_add_item(table, item);
                     if (status != 0) std::free(item);
                     Outcome out = status != 0 ? failed(status) : ynet_cache_find_item(table, "k") == item ? ok() : wrong();
                     ynet_cache_free_table(&table);
                     return out;
                 }, {}});
    t.push_back({"ynet_cached_gethostbyname", false, [] {
                     struct hostent *h = nullptr;
                     int status = ynet_cached_gethostbyname("localhost", &h);
                     if (status != 0) return failed(status);
                     const bool same = h != nullptr && h->h_addr_list[0] != nullptr;
                     ynet_free_hostent(&h);
                     return same ? ok() : wrong();
                 }, {}});
    t.push_back({"ynet_generate_service_path", false, [] {
                     char *path = nullptr;
                     int status = ynet_generate_service_path("EchoSvc", "txt", &path);
                     if (status != 0) return failed(status);
                     const bool same = path != nullptr && std::strstr(path, "/echosvc.txt") != nullptr;
                     std::free(path);
                     return same ? ok() : wrong();
                 }, [] { mkdirpath("/usr/kelda/var", 0755, nullptr); }});
    t.push_back({"ynet_read_service_file", true, [] {
                     ynet_service_entry *list = nullptr;
                     int status = ynet_read_service_file(scratch("svc.txt").c_str(), &list);
                     if (status != 0) return failed(status);
                     const bool same = list != nullptr && list->next != nullptr && list->args != nullptr &&
                                       std::strcmp(list->next->name, "Two") == 0;
                     ynet_free_service_list(&list);
                     return same ? ok() : wrong();
                 }, [] {
                     write_text(scratch("svc.txt"), "NAME=One;PID=12;REGTIME=100;IPC=/tmp/one;ARG=-a;ARG=-b\n"
                                                    "NAME=Two;PID=13;ICMD=/bin/two\n");
                 }});
    t.push_back({"ynet_add_service_entry+update", false, [] {
                     ynet_service_entry *list = nullptr;
                     char *args[] = {const_cast<char *>("-x"), const_cast<char *>("-y"), nullptr};
                     int status = ynet_add_service_entry(&list, nullptr, "Svc", 42, 1000, 0, "/tmp/svc", nullptr,
                                                         "/bin/svc", args);
                     if (status == 0) status = ynet_update_service_file(scratch("upd.txt").c_str(), list);
                     ynet_free_service_list(&list);
                     if (status != 0) return failed(status);
                     return read_text(scratch("upd.txt")).find("NAME=") != std::string::npos ? ok() : wrong();
                 }, [] { unlink(scratch("upd.txt").c_str()); }});
    t.push_back({"get_local_addrs", false, [] {
                     struct in_addr *addrs = nullptr;
                     int count = 0;
                     int status = get_local_addrs(&addrs, &count);
                     if (status != 0) return failed(status);
                     std::free(addrs);
                     return count > 0 ? ok() : wrong();
                 }, {}});
    t.push_back({"ynet_in_network", true, [] {
                     in_addr_t peer = htonl(0xC0000205);
                     int result = 0;
                     int status = ynet_in_network(&peer, "192.0.2.0/24", &result);
                     if (status != 0) return failed(status);
                     return result == 1 ? ok() : wrong();
                 }, {}});
    // The USE_YQSS decision for a peer inside a network row that requires it:
    // out of memory may refuse to decide, never decide otherwise.
    t.push_back({"ynet_check_yqss_status", true, [] {
                     static crconf_yqss_network_rec row{const_cast<char *>("192.0.2.0/24"), USE_YQSS_REQUIRED, nullptr};
                     crconf_info_rec info{};
                     info.ni_use_yqss = USE_YQSS_AUTOMATIC;
                     info.ni_yqss_networks = &row;
                     in_addr peer{htonl(0xC0000205)};
                     int use = -1;
                     int status = ynet_check_yqss_status(&peer, &info, &use);
                     if (status != 0) return failed(status);
                     return use == USE_YQSS_REQUIRED ? ok() : wrong();
                 }, {}});
    // ---- configuration records ----
    t.push_back({"crconf_create_authentication_domain", false, [] {
                     crconf_authentication_domain_rec *rec = nullptr;
                     int status = crconf_create_authentication_domain("yq", "the domain", 1, "yqmaster", 2821, &rec);
                     if (status != 0) return failed(status);
                     const bool same = rec != nullptr && std::strcmp(rec->ad_comment, "the domain") == 0;
                     crconf_free_authentication_domain(&rec);
                     return same ? ok() : wrong();
                 }, {}});
    t.push_back({"crconf_create_authorization_service", false, [] {
                     crconf_authorization_service_rec *rec = nullptr;
                     int status = crconf_create_authorization_service("yqmaster", 2821, &rec);
                     if (status != 0) return failed(status);
                     crconf_free_authorization_service(&rec);
                     return ok();
                 }, {}});
    t.push_back({"crconf_create_yqss_network", false, [] {
                     crconf_yqss_network_rec *rec = nullptr;
                     int status = crconf_create_yqss_network("192.0.2.0/24", 1, &rec);
                     if (status != 0) return failed(status);
                     crconf_free_yqss_network(&rec);
                     return ok();
                 }, {}});
    // ---- security services ----
    t.push_back({"YssCreateHumanMessage", false, [] {
                     char *s = YssCreateHumanMessage(2);
                     if (s == nullptr) return failed(-1);
                     const bool some = *s != '\0';
                     std::free(s);
                     return some ? ok() : wrong();
                 }, {}});
    t.push_back({"AllocYssValidID", false, [] {
                     YssValidID *id = nullptr;
                     AllocYssValidID(&id);
                     if (id == nullptr) return failed(-1);
                     FreeYssValidID(&id);
                     return ok();
                 }, {}});
    t.push_back({"ynet_yqss_set_login_cache", true, [] {
                     int status = ynet_yqss_set_login_cache("yq", 2, "yqmaster", 2821, "alice");
                     if (status != 0) return failed(status);
                     char domain[64], broker[64], user[64] = "alice";
                     int mechanism = 0, port = 0;
                     status = ynet_yqss_get_login_cache(domain, sizeof domain, &mechanism, broker, sizeof broker, &port,
                                                        user, sizeof user);
                     if (status != 0) return failed(1000 + status);
                     return port == 2821 && std::strcmp(broker, "yqmaster") == 0 ? ok() : wrong();
                 }, {}});
    return t;
}

// The C library keeps the last dynamic-loading error (a failed dlopen of an
// optional library) until the next dlerror; that block is not the caller's.
void settle() {
    dlerror();
    dlerror();
}

const char *g_current = "(none)";
long g_current_k = 0;

struct Row {
    std::string name;
    long allocations = 0;  // on the success path
    long points = 0;       // failure points visited
    std::set<int> statuses;
    std::vector<std::string> faults;
};

// One call with the k-th allocation failing (none for 0): what it returned,
// what it allocated, and how many of its blocks nothing frees.
struct Run {
    Outcome out;
    alloc_interposer::Tally tally;
    long leaked;
};

Run run_once(const Case &c, long k) {
    if (c.reset) c.reset();
    alloc_interposer::arm(k);
    Outcome out = c.call();
    alloc_interposer::stop_failing();
    settle();
    if (c.reset) c.reset();
    alloc_interposer::Tally tally = alloc_interposer::disarm();
    if (tally.live != 0) {
        // The C library keeps some state until the next call replaces it (the
        // locale names, the last loader error): a block that the same call,
        // made again, frees was not leaked.
        c.call();
        settle();
        if (c.reset) c.reset();
    }
    return {out, tally, alloc_interposer::live()};
}

Row sweep(const Case &c) {
    Row row;
    row.name = c.name;
    g_current = c.name;
    // The success path, once unarmed (lazy one-time set-up happens here), then
    // counted.
    if (c.reset) c.reset();
    Outcome first = c.call();
    if (!first.ok) row.faults.push_back("fails without any allocation failure (" + std::to_string(first.status) + ")");
    for (long k = 0;; ++k) {
        g_current_k = k;
        Run run = run_once(c, k);
        // A failure can send the C library down a path it takes once per
        // process (loading the next name-service module): a leak must repeat.
        if (run.leaked != 0) run = run_once(c, k);
        if (k == 0) {
            row.allocations = run.tally.allocations;
            if (!run.out.ok) row.faults.push_back("fails when counted (" + std::to_string(run.out.status) + ")");
        } else {
            if (run.tally.failed == 0) break;
            ++row.points;
            row.statuses.insert(run.out.ok ? 0 : run.out.status);
            if (!run.out.ok && run.out.status == 9999) row.faults.push_back("k=" + std::to_string(k) + ": wrong result");
        }
        if (run.leaked != 0) {
            row.faults.push_back("k=" + std::to_string(k) + ": " + std::to_string(run.leaked) + " block(s) leaked");
            if (std::getenv("ALLOC_SWEEP_TRACE") != nullptr) alloc_interposer::print_live(stdout);
        }
        if (k > 100000) {
            row.faults.push_back("no end to the allocations");
            break;
        }
    }
    return row;
}

}  // namespace

int main(int argc, char **argv) {
    bool short_run = false;
    std::set<std::string> only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0) short_run = true;
        else only.insert(argv[i]);
    }
    std::set_terminate([] {
        std::fprintf(stderr, "alloc_sweep: %s let an exception out with allocation %ld failing\n", g_current,
                     g_current_k);
        std::abort();
    });
    if (std::getenv("ALLOC_SWEEP_TRACE") != nullptr) alloc_interposer::trace(true);
    std::printf("%-38s %8s  %s\n", "function", "allocs", "statuses seen with the k-th allocation failing");
    int faults = 0;
    for (const Case &c : cases()) {
        if (short_run && !c.in_short) continue;
        if (!only.empty() && only.count(c.name) == 0) continue;
        Row row = sweep(c);
        std::string seen;
        for (int s : row.statuses) seen += (seen.empty() ? "" : " ") + (s == -1 ? std::string("NULL") : s == 0 ? std::string("ok") : std::to_string(s));
        std::printf("%-38s %8ld  %s\n", row.name.c_str(), row.allocations, seen.empty() ? "-" : seen.c_str());
        for (const std::string &f : row.faults) std::printf("    FAULT: %s\n", f.c_str());
        faults += static_cast<int>(row.faults.size());
        std::fflush(stdout);
    }
    std::printf("%d fault(s)\n", faults);
    return faults == 0 ? 0 : 1;
}

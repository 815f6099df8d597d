// How the credential and registry operations turn the authentication
// library's results into statuses, and an owner for what the library hands
// out. Not exported.
#ifndef YSS_AUTH_RESULTS_H
#define YSS_AUTH_RESULTS_H

#include <initializer_list>
#include <memory>

#include "yss_auth_private.h"

namespace yq::yss {

// One row of a result table: a library result and the status it becomes.
struct ResultStatus {
    int result;
    YssStatus status;
};
using ResultTable = std::initializer_list<ResultStatus>;

// The status of `result` in `table`; a result the table lacks is 21 after
// the unhandled-result report `label` (the result in hexadecimal). Every
// non-zero status is reported naming `function`.
YssStatus settle(int result, ResultTable table, const char *label, const char *function,
                 Where where = Where::current()) noexcept;

// The table's status for `result`, or -1 when it has none.
constexpr YssStatus lookup(ResultTable table, int result) noexcept {
    for (const ResultStatus &row : table)
        if (row.result == result) return row.status;
    return -1;
}

// An object the library handed out, released through yorbAtFree.
struct LibraryFree {
    void operator()(void *object) const noexcept {
        if (entries.yorbAtFree) entries.yorbAtFree(object);
    }
};
using LibraryObject = std::unique_ptr<void, LibraryFree>;

// Library words as the texts or numbers they hold.
inline const char *word_text(const yorbat_word *words, int index) noexcept {
    return words ? static_cast<const char *>(words[index]) : nullptr;
}
inline long word_number(const yorbat_word *words, int index) noexcept {
    return words ? static_cast<long>(reinterpret_cast<intptr_t>(words[index])) : 0;
}

// The broker the record names, as the library takes it.
inline yorbat_broker_address broker_of(const YssConInfo_t *record) noexcept {
    return {record->brokerHost, static_cast<int>(record->brokerPort)};
}

}  // namespace yq::yss

#endif

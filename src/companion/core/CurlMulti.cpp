// SPDX-License-Identifier: MIT
#include "CurlMulti.h"

#include <QSocketNotifier>
#include <chrono>

// The read and write notifiers of one socket curl watches, each registered only while enabled.
struct CurlMulti::Watch : QObject
{
    explicit Watch(CurlMulti *multi)
        : QObject(multi)
    {
        connect(&read, &QSocketNotifier::activated, multi,
            [this, multi] { multi->act(socket, CURL_CSELECT_IN); });
        connect(&write, &QSocketNotifier::activated, multi,
            [this, multi] { multi->act(socket, CURL_CSELECT_OUT); });
    }
    curl_socket_t socket = CURL_SOCKET_BAD;
    QSocketNotifier read { QSocketNotifier::Read, this };
    QSocketNotifier write { QSocketNotifier::Write, this };
};

CurlMulti::CurlMulti(QObject *parent)
    : QObject(parent)
{
    // Once per process; the first caller is the GUI thread, before any other curl use.
    [[maybe_unused]] static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    m_multi = curl_multi_init();
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::onSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::onTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    m_timer.setSingleShot(true);
    // A coarse timer may wake curl early, costing a pass that only re-arms it.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlMulti::~CurlMulti()
{
    for (const auto &[easy, transfer] : m_transfers)
        curl_multi_remove_handle(m_multi, easy);
    m_transfers.clear();
    curl_multi_cleanup(m_multi);
}

bool CurlMulti::Transfer::await_suspend(std::coroutine_handle<> handle)
{
    if (curl_multi_add_handle(multi.m_multi, easy) != CURLM_OK) {
        result = CURLE_FAILED_INIT;
        return false;
    }
    awaiting = handle;
    multi.m_transfers.emplace(easy, this);
    return true;
}

void CurlMulti::abort(CURL *easy, CURLcode result)
{
    if (!m_transfers.contains(easy))
        return;
    curl_multi_remove_handle(m_multi, easy);
    finish(easy, result);
}

int CurlMulti::onSocket(CURL *, curl_socket_t socket, int what, void *self, void *watch)
{
    auto *multi = static_cast<CurlMulti *>(self);
    auto *w = static_cast<Watch *>(watch);
    if (what == CURL_POLL_REMOVE) {
        // Kept, not deleted: curl may be closing this socket from inside one of its notifier's signals.
        if (w) {
            w->read.setEnabled(false);
            w->write.setEnabled(false);
            multi->m_spare.push_back(w);
        }
        return 0;
    }
    if (!w) {
        if (multi->m_spare.empty()) {
            w = new Watch(multi);
        } else {
            w = multi->m_spare.back();
            multi->m_spare.pop_back();
        }
        w->socket = socket;
        w->read.setSocket(socket);
        w->write.setSocket(socket);
        curl_multi_assign(multi->m_multi, socket, w);
    }
    w->read.setEnabled(what & CURL_POLL_IN);
    w->write.setEnabled(what & CURL_POLL_OUT);
    return 0;
}

int CurlMulti::onTimer(CURLM *, long timeoutMs, void *self)
{
    auto &timer = static_cast<CurlMulti *>(self)->m_timer;
    if (timeoutMs < 0)
        timer.stop();
    else
        timer.start(std::chrono::milliseconds(timeoutMs)); // 0: as soon as curl has returned
    return 0;
}

void CurlMulti::act(curl_socket_t socket, int events)
{
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL *easy = message->easy_handle;
        const CURLcode result = message->data.result;
        curl_multi_remove_handle(m_multi, easy);
        finish(easy, result);
    }
}

void CurlMulti::finish(CURL *easy, CURLcode result)
{
    const auto found = m_transfers.find(easy);
    if (found == m_transfers.end())
        return;
    Transfer *transfer = found->second;
    m_transfers.erase(found);
    transfer->result = result;
    // Queued: what the awaiter runs next may start or end transfers, and we are inside a notifier's signal.
    QMetaObject::invokeMethod(
        this, [awaiting = transfer->awaiting] { awaiting.resume(); }, Qt::QueuedConnection);
}

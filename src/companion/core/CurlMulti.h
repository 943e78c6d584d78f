// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTimer>
#include <coroutine>
#include <curl/curl.h>
#include <unordered_map>
#include <vector>

// libcurl's multi interface driven by the Qt event loop: a notifier pair per socket and one timer, no thread.
// Destroying it ends every transfer on it and closes their sockets; their awaiters are not resumed, so it
// must outlive them.
class CurlMulti : public QObject
{
public:
    explicit CurlMulti(QObject *parent = nullptr);
    ~CurlMulti() override;
    CurlMulti(const CurlMulti &) = delete;
    CurlMulti &operator=(const CurlMulti &) = delete;

    // co_await runs one easy handle to its end and gives curl's result.
    struct Transfer
    {
        CurlMulti &multi;
        CURL *easy;
        CURLcode result = CURLE_OK;
        std::coroutine_handle<> awaiting {};

        bool await_ready() const noexcept { return false; }
        bool await_suspend(std::coroutine_handle<> handle);
        CURLcode await_resume() const noexcept { return result; }
    };
    Transfer transfer(CURL *easy) { return { *this, easy }; }

    // Ends a transfer at once, its awaiter seeing `result`; never to be called from inside a curl callback.
    void abort(CURL *easy, CURLcode result);

private:
    struct Watch;
    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *self, void *watch);
    static int onTimer(CURLM *multi, long timeoutMs, void *self);
    void act(curl_socket_t socket, int events);
    void finish(CURL *easy, CURLcode result);

    CURLM *m_multi;
    QTimer m_timer;
    std::unordered_map<CURL *, Transfer *> m_transfers;
    std::vector<Watch *> m_spare; // disabled, for the next socket; deleted with this object
};

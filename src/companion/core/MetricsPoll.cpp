// SPDX-License-Identifier: MIT
#include "MetricsPoll.h"

#include "CurlMulti.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <iterator>
#include <memory>

namespace {

// What the callbacks keep of one answer.
struct Received
{
    QElapsedTimer sinceByte; // read only when the silence timer fires, so a byte costs no timer restart
    qsizetype headerBytes = 0;
    QByteArray body;
};

// Returning less than was given stops the transfer at once.
size_t onHeader(char *, size_t size, size_t count, void *data)
{
    auto *received = static_cast<Received *>(data);
    const size_t bytes = size * count;
    received->headerBytes += qsizetype(bytes);
    if (received->headerBytes > MetricsPoll::maxHeaderBytes)
        return 0;
    received->sinceByte.start();
    return bytes;
}

size_t onBody(char *chunk, size_t size, size_t count, void *data)
{
    auto *received = static_cast<Received *>(data);
    const size_t bytes = size * count;
    if (received->body.size() + qsizetype(bytes) > MetricsPoll::maxBodyBytes)
        return 0;
    received->body.append(chunk, qsizetype(bytes));
    received->sinceByte.start();
    return bytes;
}

using Easy = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;

// One multi handle for the thread's polls, so its set-up is paid once; each poll still gets a connection of
// its own (FRESH_CONNECT, FORBID_REUSE). It goes with the application.
CurlMulti &sharedMulti()
{
    thread_local QPointer<CurlMulti> multi;
    if (!multi)
        multi = new CurlMulti(QCoreApplication::instance());
    return *multi;
}

// False when libcurl refuses any option: a poll it cannot narrow (to plain HTTP, no proxy, bounded) fails.
bool configure(CURL *easy, const QByteArray &url, Received &received)
{
    const CURLcode results[] {
        curl_easy_setopt(easy, CURLOPT_URL, url.constData()),
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http"),
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1),
        // Never through a proxy, whatever the environment says.
        curl_easy_setopt(easy, CURLOPT_PROXY, ""),
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "*"),
        // One request per poll: a redirect is an answer outside 2xx, not a second request.
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L),
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L),
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L),
        curl_easy_setopt(easy, CURLOPT_NETRC, long(CURL_NETRC_IGNORED)),
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L),
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(MetricsPoll::silenceLimit.count())),
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(MetricsPoll::deadline.count())),
        // A declared length over the cap fails before the body is read.
        curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(MetricsPoll::maxBodyBytes)),
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &onHeader),
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &received),
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &onBody),
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &received),
    };
    return std::all_of(std::begin(results), std::end(results), [](CURLcode r) { return r == CURLE_OK; });
}

} // namespace

QCoro::Task<std::optional<QByteArray>> MetricsPoll::fetch(quint16 port, QPointer<QObject> owner)
{
    const Easy easy(curl_easy_init(), &curl_easy_cleanup);
    if (!easy)
        co_return std::nullopt;
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(port) + "/json";
    Received received;
    if (!configure(easy.get(), url, received))
        co_return std::nullopt;

    CurlMulti &multi = sharedMulti();
    // Also the context of this poll's connections, so they end with it.
    QTimer silence;
    silence.setSingleShot(true);
    silence.setTimerType(Qt::PreciseTimer);
    QObject::connect(&silence, &QTimer::timeout, &silence, [&] {
        const std::chrono::milliseconds quiet { received.sinceByte.elapsed() };
        if (quiet < silenceLimit)
            silence.start(silenceLimit - quiet);
        else
            multi.abort(easy.get(), CURLE_OPERATION_TIMEDOUT);
    });
    if (owner) {
        QObject::connect(owner.data(), &QObject::destroyed, &silence,
            [&multi, &easy] { multi.abort(easy.get(), CURLE_ABORTED_BY_CALLBACK); });
    }
    received.sinceByte.start();
    silence.start(silenceLimit);

    const CURLcode result = co_await multi.transfer(easy.get());
    long code = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
    if (result != CURLE_OK || code < 200 || code > 299)
        co_return std::nullopt;
    co_return std::move(received.body);
}

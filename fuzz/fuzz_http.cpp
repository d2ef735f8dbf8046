// The notice server's bytes as anyone may send them: the response reader must end within
// its caps, and read the same response whole or cut anywhere.
#include "httpresponse.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte chooses where the connection splits the rest.
    const QByteArrayView bytes(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const qsizetype cut = bytes.isEmpty() ? 0 : data[0] % bytes.size();
    const morvane::HttpLimits limits{4096, 20, 3, 1024};

    morvane::HttpResponseParser whole(limits);
    whole.feed(bytes);
    morvane::HttpResponseParser split(limits);
    split.feed(bytes.first(cut));
    split.feed(bytes.sliced(cut));
    using State = morvane::HttpResponseParser::State;
    for (morvane::HttpResponseParser *p : {&whole, &split}) {
        if (p->finish() == State::Reading || p->body().size() > limits.maxBodyBytes)
            std::abort();
        if (p->state() == State::Failed && !p->body().isEmpty())
            std::abort();
    }
    if (whole.state() != split.state() || whole.status() != split.status() ||
        whole.body() != split.body() || whole.failure() != split.failure())
        std::abort();
    return 0;
}

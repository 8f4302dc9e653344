// SPDX-License-Identifier: Apache-2.0
// When a request that got no answer goes out again: TCP's retransmission time-out (a smoothed round
// trip plus four times its mean variation), kept between a floor and the reply time-out, and
// doubled for each further resend of one request up to a ceiling, so that a front end that comes
// back from an outage is heard within one such interval. Pure: times are passed in.
#pragma once

#include <cstdint>

// Below this a resend would mostly race a reply that is merely on its way.
constexpr int64_t kMinRetransmitMicros = 20000;
// Before the first round trip is measured (the connect's attach).
constexpr int64_t kInitialRetransmitMicros = 250000;
// The longest pause between two resends of one request, unless the time-out itself is longer.
constexpr int64_t kMaxRetransmitIntervalMicros = 100000;

struct RoundTripEstimate {
    int64_t smoothedMicros = 0;  // 0: no sample yet
    int64_t variationMicros = 0;

    // Takes one round trip of a request that went out once (a resent one says nothing: Karn).
    constexpr void sample(int64_t micros) noexcept {
        if (micros < 1) micros = 1;
        if (smoothedMicros == 0) {
            smoothedMicros = micros;
            variationMicros = micros / 2;
            return;
        }
        const int64_t error =
            smoothedMicros > micros ? smoothedMicros - micros : micros - smoothedMicros;
        variationMicros = (3 * variationMicros + error) / 4;
        smoothedMicros = (7 * smoothedMicros + micros) / 8;
    }

    // The wait before the first resend of a request.
    [[nodiscard]] constexpr int64_t timeoutMicros(int64_t replyTimeoutMicros) const noexcept {
        int64_t timeout =
            smoothedMicros == 0 ? kInitialRetransmitMicros : smoothedMicros + 4 * variationMicros;
        if (timeout < kMinRetransmitMicros) timeout = kMinRetransmitMicros;
        return timeout < replyTimeoutMicros ? timeout : replyTimeoutMicros;
    }
};

// The wait before the resend that follows `resendsSoFar` resends of one request (0: the first).
[[nodiscard]] constexpr int64_t retransmitIntervalMicros(int64_t firstMicros, int resendsSoFar,
                                                         int64_t replyTimeoutMicros) noexcept {
    const int64_t ceiling =
        firstMicros > kMaxRetransmitIntervalMicros ? firstMicros : kMaxRetransmitIntervalMicros;
    int64_t interval = firstMicros;
    for (int k = 0; k < resendsSoFar && interval < ceiling; ++k) interval *= 2;
    if (interval > ceiling) interval = ceiling;
    return interval < replyTimeoutMicros ? interval : replyTimeoutMicros;
}

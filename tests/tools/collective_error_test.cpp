// Agreement on failures: whichever ranks fail, every rank must leave with the
// same error (that of the lowest failing rank), and none may be left behind
// in a collective. Run at 1 to 4 ranks.
#include "collective_error.h"

#include "framework/runtime/virda_globals.h"

#include "virda_test/ranks.h"
#include <gtest/gtest.h>
#include <mpi.h>

#include <string>

using virda_stats::agree_or_throw;
using virda_stats::exit_data_error;
using virda_stats::exit_usage_error;
using virda_stats::together;
using virda_stats::tool_error;

namespace {

using virda_test::ranks;

/// The outcome of agree_or_throw on this rank: the message and status it
/// threw, or an empty message when it returned.
struct outcome {
    std::string message;
    int code = 0;
};

template <typename Step>
outcome settle(Step step)
{
    outcome o;
    try {
        step();
    } catch (const tool_error& e) {
        o.message = e.what();
        o.code = e.exit_code();
    }
    return o;
}

} // namespace

TEST(Agreement, NoFailureReturnsOnEveryRank)
{
    const outcome o = settle([] { agree_or_throw(VIRDA_COMM, ""); });
    EXPECT_EQ(o.message, "");
}

TEST(Agreement, AnySingleFailingRankStopsAllWithItsMessage)
{
    for (int failing = 0; failing < ranks(); ++failing) {
        const std::string mine = VIRDA_ID == failing ? "rank " + std::to_string(failing) + " failed" : "";
        const outcome o = settle([&] { agree_or_throw(VIRDA_COMM, mine, exit_usage_error); });
        EXPECT_EQ(o.message, "rank " + std::to_string(failing) + " failed") << "failing rank " << failing;
        EXPECT_EQ(o.code, exit_usage_error);
    }
}

TEST(Agreement, LowestFailingRankSpeaksForAll)
{
    // Every rank but the first fails with its own message and status.
    const std::string mine = VIRDA_ID > 0 ? "failure of rank " + std::to_string(VIRDA_ID) : "";
    const outcome o = settle([&] { agree_or_throw(VIRDA_COMM, mine, 10 + VIRDA_ID); });
    if (ranks() == 1) {
        EXPECT_EQ(o.message, "");
    } else {
        EXPECT_EQ(o.message, "failure of rank 1");
        EXPECT_EQ(o.code, 11);
    }
}

TEST(Agreement, LongMessageArrivesWhole)
{
    const int last = ranks() - 1;
    std::string text(20000, 'x');
    text[0] = 'A';
    text.back() = 'Z';
    const outcome o = settle([&] { agree_or_throw(VIRDA_COMM, VIRDA_ID == last ? text : ""); });
    EXPECT_EQ(o.message, text);
}

TEST(Together, ExceptionsOfAnyKindBecomeACommonError)
{
    const int last = ranks() - 1;
    // A standard exception on the last rank: a data error everywhere.
    outcome o = settle([&] {
        together(VIRDA_COMM, [&] {
            if (VIRDA_ID == last) {
                throw std::runtime_error("disk on fire");
            }
        });
    });
    EXPECT_EQ(o.message, "disk on fire");
    EXPECT_EQ(o.code, exit_data_error);

    // Something that is not an exception class, on rank 0.
    o = settle([&] {
        together(VIRDA_COMM, [&] {
            if (VIRDA_ID == 0) {
                throw 42;
            }
        });
    });
    EXPECT_EQ(o.message, "unexpected failure");

    // An exception whose message is empty still counts as a failure.
    o = settle([&] {
        together(VIRDA_COMM, [&] {
            if (VIRDA_ID == last) {
                throw tool_error("", exit_usage_error);
            }
        });
    });
    EXPECT_EQ(o.message, "unexpected failure");
    EXPECT_EQ(o.code, exit_usage_error);

    // A step that succeeds everywhere.
    int ran = 0;
    o = settle([&] { together(VIRDA_COMM, [&] { ++ran; }); });
    EXPECT_EQ(o.message, "");
    EXPECT_EQ(ran, 1);
}

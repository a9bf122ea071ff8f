// Command-line parsing of virda-stats. Local: every rank parses the same
// arguments and must reach the same result.
#include "cli_options.h"
#include "collective_error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

using namespace virda_stats;

namespace {

cli_options parse(std::vector<std::string> args)
{
    return parse_command_line(args);
}

/// The message of the usage error that parsing `args` gives, or "" if none.
std::string refusal(std::vector<std::string> args)
{
    try {
        parse_command_line(args);
    } catch (const tool_error& e) {
        EXPECT_EQ(e.exit_code(), exit_usage_error) << e.what();
        return e.what();
    }
    return "";
}

} // namespace

TEST(CommandLine, ReadsEachOperationAndItsOptions)
{
    cli_options o = parse({"f.h5", "/a/b", "histogram", "--lower", "-2.5", "--width=0.5", "--bins", "12"});
    EXPECT_EQ(o.file, "f.h5");
    EXPECT_EQ(o.dataset, "/a/b");
    EXPECT_EQ(o.op, operation::histogram);
    EXPECT_EQ(o.lower, -2.5);
    EXPECT_EQ(o.width, 0.5);
    EXPECT_EQ(o.bins, 12);
    EXPECT_EQ(o.format, output_format::text);

    o = parse({"f.h5", "x", "bin-data", "--centres", "-1e3,2.5,7", "--y", "y", "--format", "json"});
    EXPECT_EQ(o.op, operation::bin_data);
    EXPECT_EQ(o.y, "y");
    EXPECT_EQ(o.centre0, -1000.0);
    EXPECT_EQ(o.centre_step, 2.5);
    EXPECT_EQ(o.centre_count, 7);
    EXPECT_EQ(o.format, output_format::json);

    // Options may come before the positional arguments.
    o = parse({"--order", "3", "f.h5", "x", "poly-fit", "--y", "y", "--weights", "w"});
    EXPECT_EQ(o.op, operation::poly_fit);
    EXPECT_EQ(o.order, 3);
    EXPECT_EQ(o.weights, "w");

    o = parse({"f.h5", "x", "stdev"});
    EXPECT_EQ(o.op, operation::stdev);
    EXPECT_TRUE(o.weights.empty());
    EXPECT_EQ(parse({"f.h5", "x", "mean", "--weights", "w"}).weights, "w");
    EXPECT_EQ(parse({"f.h5", "x", "summary"}).op, operation::summary);

    o = parse({"f.h5", "x", "quantiles", "--q", "0.05,.5,1,0,1e-3"});
    EXPECT_EQ(o.op, operation::quantiles);
    EXPECT_EQ(o.probabilities, (std::vector<double>{0.05, 0.5, 1.0, 0.0, 1e-3}));
}

TEST(CommandLine, NumbersTooSmallForADoubleRoundToZero)
{
    // strtod reports underflow as a range error; the value is still the
    // nearest double (0, or a subnormal), and a probability of 0.
    const cli_options o = parse({"f.h5", "x", "quantiles", "--q", "1e-999,4e-320,-1e-999,0.5"});
    ASSERT_EQ(o.probabilities.size(), 4u);
    EXPECT_EQ(o.probabilities[0], 0.0);
    EXPECT_EQ(o.probabilities[1], 4e-320);
    EXPECT_EQ(o.probabilities[2], 0.0);
    EXPECT_FALSE(std::signbit(o.probabilities[2])) << "-0 is taken as 0";
    EXPECT_EQ(parse({"f.h5", "x", "histogram", "--lower", "-1e-400", "--width", "1", "--bins", "2"}).lower, 0.0);
    // Beyond the doubles is outside [0, 1], not "not a number".
    EXPECT_NE(
        refusal({"f.h5", "x", "quantiles", "--q", "0.5,1e999"}).find("a probability must lie in [0, 1], not 1e999"),
        std::string::npos);
    EXPECT_NE(refusal({"f.h5", "x", "quantiles", "--q", "-1e999"}).find("must lie in [0, 1], not -1e999"),
              std::string::npos);
}

TEST(CommandLine, ReadingOptionsForEveryOperation)
{
    cli_options o = parse({"f.h5", "x", "summary"});
    EXPECT_EQ(o.layout, layout_choice::automatic);
    EXPECT_FALSE(o.raw);
    EXPECT_FALSE(o.skip_nan);
    o = parse({"f.h5", "x", "mean", "--raw", "--layout=grid", "--skip-nan", "--weights", "w"});
    EXPECT_EQ(o.layout, layout_choice::grid);
    EXPECT_TRUE(o.raw);
    EXPECT_TRUE(o.skip_nan);
    EXPECT_EQ(o.weights, "w");
    EXPECT_EQ(parse({"--layout", "table", "f.h5", "x", "quantiles", "--q", "0.5"}).layout, layout_choice::table);
}

TEST(CommandLine, MemoryBudgetInBytesOrWithASuffix)
{
    EXPECT_EQ(parse({"f.h5", "x", "summary"}).memory_budget, default_memory_budget);
    EXPECT_EQ(parse({"f.h5", "x", "mean", "--memory-budget", "1048576"}).memory_budget, std::size_t{1} << 20);
    EXPECT_EQ(parse({"f.h5", "x", "quantiles", "--q", "0.5", "--memory-budget=64M"}).memory_budget,
              std::size_t{64} << 20);
    EXPECT_EQ(parse({"f.h5", "x", "histogram", "--lower", "0", "--width", "1", "--bins", "2", "--memory-budget",
                     "3g"})
                  .memory_budget,
              std::size_t{3} << 30);
    EXPECT_EQ(parse({"f.h5", "x", "summary", "--memory-budget", "2T"}).memory_budget, std::size_t{2} << 40);
    EXPECT_EQ(parse({"f.h5", "x", "summary", "--memory-budget", "1024K"}).memory_budget, least_memory_budget);
    // Below the least, no number, a fraction, an unknown or doubled suffix,
    // a sign, or beyond 64 bits.
    for (const char* bad : {"1023K", "0", "", "M", "1.5G", "12Q", "1MM", "-1G", "+1G", "99999999999999T",
                            "123456789012345678901"}) {
        const std::string m = refusal({"f.h5", "x", "summary", std::string("--memory-budget=") + bad});
        EXPECT_NE(m.find("--memory-budget needs a number of bytes"), std::string::npos) << bad << ": " << m;
    }
}

TEST(CommandLine, DemoHelpAndVersion)
{
    cli_options o = parse({"--demo"});
    EXPECT_TRUE(o.demo);
    EXPECT_EQ(o.file, default_demo_file);
    o = parse({"--demo", "cat.h5", "--format", "json"});
    EXPECT_EQ(o.file, "cat.h5");
    EXPECT_EQ(o.format, output_format::json);
    // --help wins over anything malformed around it.
    EXPECT_TRUE(parse({"x", "--bins", "--help"}).help);
    EXPECT_TRUE(parse({"--version"}).version);
}

TEST(CommandLine, RefusesWhatItCannotUse)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "expected FILE DATASET OPERATION, got 0 arguments"},
        {{"f", "x", "mean", "extra"}, "got 4 arguments"},
        {{"f", "x", "median"}, "unknown operation 'median'"},
        {{"f", "x", "mean", "--colour", "red"}, "unknown option '--colour'"},
        {{"f", "x", "mean", "-v"}, "unknown option '-v'"},
        {{"f", "x", "mean", "--weights"}, "--weights needs a value"},
        {{"f", "x", "mean", "--weights="}, "--weights needs a dataset name"},
        {{"f", "x", "summary", "--weights", "w"}, "summary does not take --weights"},
        {{"f", "x", "mean", "--y", "y"}, "mean does not take --y"},
        {{"f", "x", "stdev", "--weights", "a", "--weights", "b"}, "--weights is given twice"},
        {{"f", "x", "histogram", "--width", "1", "--bins", "2"}, "histogram needs --lower"},
        {{"f", "x", "histogram", "--lower", "0", "--width", "-1", "--bins", "2"}, "--width must be positive"},
        {{"f", "x", "histogram", "--lower", "0", "--width", "inf", "--bins", "2"}, "--width needs a finite number"},
        {{"f", "x", "histogram", "--lower", "1e999", "--width", "1", "--bins", "2"}, "--lower needs a finite number"},
        {{"f", "x", "histogram", "--lower", "0x", "--width", "1", "--bins", "2"}, "not '0x'"},
        {{"f", "x", "histogram", "--lower", "0", "--width", "1", "--bins", "2.5"}, "--bins needs a whole number"},
        {{"f", "x", "histogram", "--lower", "0", "--width", "1", "--bins", "99999999999999999999"},
         "between 1 and 1000000, not 99999999999999999999"},
        {{"f", "x", "histogram", "--lower", "0", "--width", "1", "--bins", "1000001"}, "between 1 and 1000000"},
        {{"f", "x", "bin-data", "--y", "y"}, "bin-data needs --centres"},
        {{"f", "x", "bin-data", "--y", "y", "--centres", "0,1,"}, "--centres needs three values"},
        {{"f", "x", "bin-data", "--y", "y", "--centres", "0,1,2,3"}, "--centres needs three values"},
        {{"f", "x", "bin-data", "--y", "y", "--centres", "0,0,3"}, "spacing w must be positive"},
        {{"f", "x", "bin-data", "--y", "y", "--centres", "0,1,1"}, "between 2 and"},
        {{"f", "x", "poly-fit", "--y", "y", "--order", "-1"}, "between 0 and 20"},
        {{"f", "x", "poly-fit", "--order", "1"}, "poly-fit needs --y"},
        {{"f", "x", "mean", "--format", "yaml"}, "--format must be 'text' or 'json'"},
        {{"f", "x", "quantiles"}, "quantiles needs --q"},
        {{"f", "x", "quantiles", "--q", "0.5,"}, "--q needs probabilities p1,p2,... in [0, 1]"},
        {{"f", "x", "quantiles", "--q", ""}, "--q needs probabilities"},
        {{"f", "x", "quantiles", "--q", "0.5,-0.1"}, "a probability must lie in [0, 1], not -0.1"},
        {{"f", "x", "quantiles", "--q", "nan"}, "--q needs a finite number, not 'nan'"},
        {{"f", "x", "quantiles", "--q", "0.5,,1"}, "--q needs a finite number, not ''"},
        {{"f", "x", "mean", "--q", "0.5"}, "mean does not take --q"},
        {{"f", "x", "summary", "--layout", "cube"}, "--layout must be 'table' or 'grid', not 'cube'"},
        {{"f", "x", "summary", "--raw=yes"}, "--raw takes no value"},
        {{"--demo", "--skip-nan"}, "--demo does not take --skip-nan"},
        {{"--demo", "a.h5", "b.h5"}, "--demo takes at most one file name"},
        {{"--demo", "--bins", "3"}, "--demo does not take --bins"},
    };
    for (const auto& [args, message] : cases) {
        std::string shown;
        for (const std::string& a : args) {
            shown += " " + a;
        }
        EXPECT_NE(refusal(args).find(message), std::string::npos)
            << "arguments:" << shown << "\n  message: " << refusal(args) << "\n  expected to contain: " << message;
    }
}

TEST(CommandLine, ColumnPicksOneColumnOfATableForEveryOperation)
{
    EXPECT_EQ(parse({"f.h5", "t", "mean"}).column, -1);
    EXPECT_EQ(parse({"f.h5", "t", "mean", "--column", "0"}).column, 0);
    EXPECT_EQ(parse({"f.h5", "t", "summary", "--column=7"}).column, 7);
    EXPECT_EQ(parse({"f.h5", "t", "poly-fit", "--y", "y", "--order", "1", "--column", "2"}).column, 2);
    EXPECT_EQ(parse({"f.h5", "t", "histogram", "--lower", "0", "--width", "1", "--bins", "2", "--column", "1"}).column,
              1);
    EXPECT_NE(refusal({"f.h5", "t", "mean", "--column", "-1"}).find("--column must be between 0 and"),
              std::string::npos);
    EXPECT_NE(refusal({"f.h5", "t", "mean", "--column", "x"}).find("--column needs a whole number"), std::string::npos);
    EXPECT_NE(refusal({"--demo", "--column", "1"}).find("--demo does not take --column"), std::string::npos);
}

TEST(CommandLine, ReduceTakesDimensionsStatisticsAndAnOutput)
{
    cli_options o = parse({"f.nc", "t2m", "reduce", "--over", "time,lon", "--stat", "mean,q0.9,median", "-o",
                           "out.nc", "--method", "hazen"});
    EXPECT_EQ(o.op, operation::reduce);
    EXPECT_EQ(o.over, (std::vector<std::string>{"time", "lon"}));
    EXPECT_EQ(o.stats, (std::vector<std::string>{"mean", "q0.9", "median"}));
    EXPECT_EQ(o.output, "out.nc");
    EXPECT_EQ(o.method, "hazen");
    o = parse({"f.nc", "t2m", "reduce", "--over=0", "--stat=count", "--output=o.nc"});
    EXPECT_EQ(o.method, "linear");
    EXPECT_EQ(o.output, "o.nc");

    const std::vector<std::string> base = {"f.nc", "t2m", "reduce"};
    const auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return refusal(args);
    };
    EXPECT_NE(with({"--stat", "mean", "-o", "o.nc"}), "");             // no --over
    EXPECT_NE(with({"--over", "time", "--stat", "mean"}), "");         // no output
    EXPECT_NE(with({"--over", "time", "-o", "o.nc"}), "");             // no --stat
    EXPECT_NE(with({"--over", "time,", "--stat", "mean", "-o", "o.nc"}), "");
    EXPECT_NE(with({"--over", "time,,lon", "--stat", "mean", "-o", "o.nc"}), "");
    EXPECT_NE(with({"--over", "time", "--stat", "average", "-o", "o.nc"}), "");
    EXPECT_NE(with({"--over", "time", "--stat", "q1.5", "-o", "o.nc"}), "");
    EXPECT_NE(with({"--over", "time", "--stat", "q", "-o", "o.nc"}), "");
    EXPECT_NE(with({"--over", "time", "--stat", "qnan", "-o", "o.nc"}), "");
    EXPECT_NE(with({"--over", "time", "--stat", "mean", "-o"}), "");
    EXPECT_NE(with({"--over", "time", "--stat", "mean", "-o", "a.nc", "--output", "b.nc"}), "");
    EXPECT_NE(with({"--over", "time", "--stat", "mean", "-o", "o.nc", "--method", "cubic"}), "");
    // Options of reduce belong to reduce only.
    EXPECT_NE(refusal({"f.nc", "t2m", "mean", "--over", "time"}), "");
    EXPECT_NE(refusal({"f.nc", "t2m", "quantiles", "--q", "0.5", "--method", "lower"}), "");
}

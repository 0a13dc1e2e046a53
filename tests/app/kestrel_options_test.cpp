#include "app/kestrel_options.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace kestrel {
namespace {

ParsedArguments parse(std::vector<std::string> words) {
  words.insert(words.begin(), "kestrel");
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  return parseKestrelArguments(static_cast<int>(argv.size()), argv.data());
}

TEST(KestrelArguments, FiveArgumentsTakeTheDefaultsForTheRest) {
  const ParsedArguments parsed = parse({"in.png", "out.png", "31", "21", "2.2"});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
  const KestrelOptions& options = parsed.options;
  EXPECT_EQ(options.input, "in.png");
  EXPECT_EQ(options.output, "out.png");
  EXPECT_EQ(options.kwidth, 31);
  EXPECT_EQ(options.kheight, 21);
  EXPECT_EQ(options.gamma, 2.2);
  EXPECT_EQ(options.wtscale, 0.7);
  EXPECT_EQ(options.wtdeconv, 0.02);
  EXPECT_EQ(deringingWeight(options.wtderinging), 10);
  EXPECT_EQ(options.denoise, 0);
}

TEST(KestrelArguments, AllNineArgumentsAreReadAndLaterOnesIgnored) {
  const ParsedArguments parsed =
      parse({"a.jpg", "b.bmp", "15", "15", "1", "0.5", "2e-2", "0.25", "1", "extra"});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
  EXPECT_EQ(parsed.options.wtscale, 0.5);
  EXPECT_EQ(parsed.options.wtdeconv, 0.02);
  EXPECT_EQ(parsed.options.wtderinging, 0.25);
  EXPECT_EQ(parsed.options.denoise, 1);
}

TEST(KestrelArguments, TooFewArgumentsShowTheUsage) {
  EXPECT_EQ(parse({}).outcome, ParseOutcome::ShowUsage);
  EXPECT_EQ(parse({"in.png", "out.png", "31", "31"}).outcome, ParseOutcome::ShowUsage);
  EXPECT_EQ(parse({"--help"}).outcome, ParseOutcome::ShowHelp);
  EXPECT_EQ(parse({"--version"}).outcome, ParseOutcome::ShowVersion);
}

TEST(KestrelArguments, NumbersThatDoNotParseWhollyAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"in.png", "out.png", "31x", "31", "2.2"},  {"in.png", "out.png", "", "31", "2.2"},
      {"in.png", "out.png", "31", "3.5", "2.2"},  {"in.png", "out.png", "31", "31", "abc"},
      {"in.png", "out.png", "31", "31", "0.7x"},  {"in.png", "out.png", "31", "31", "nan"},
      {"in.png", "out.png", "31", "31", "2", "inf"},
      {"in.png", "out.png", "31", "31", "2", "0.7", "0.02", "1", "yes"},
      {"in.png", "out.png", "99999999999", "31", "2.2"},
  };
  for (const auto& words : cases) {
    const ParsedArguments parsed = parse(words);
    EXPECT_EQ(parsed.outcome, ParseOutcome::UsageError) << words[2] << " " << words[4];
    EXPECT_FALSE(parsed.error.empty());
  }
}

TEST(KestrelArguments, ValuesOutsideTheirRangesAreUsageErrorsNamingTheArgument) {
  struct Case {
    std::vector<std::string> words;
    std::string named;
  };
  const std::vector<Case> cases = {
      {{"i.png", "o.png", "0", "31", "2.2"}, "kwidth"},
      {{"i.png", "o.png", "31", "-3", "2.2"}, "kheight"},
      {{"i.png", "o.png", "30", "31", "2.2"}, "kwidth"},
      {{"i.png", "o.png", "1", "1", "2.2"}, "kwidth"},
      {{"i.png", "o.png", "31", "31", "0"}, "gamma"},
      {{"i.png", "o.png", "31", "31", "-1"}, "gamma"},
      {{"i.png", "o.png", "31", "31", "2", "0"}, "wtscale"},
      {{"i.png", "o.png", "31", "31", "2", "0.7", "0"}, "wtdeconv"},
      {{"i.png", "o.png", "31", "31", "2", "0.7", "-0.02"}, "wtdeconv"},
      {{"i.png", "o.png", "31", "31", "2", "0.7", "0.02", "1e999"}, "wtderinging"},
      {{"i.png", "o.tif", "31", "31", "2.2"}, "o.tif"},
      {{"i.png", "i_kernel.png", "31", "31", "2.2"}, "i_kernel.png"},
  };
  for (const Case& c : cases) {
    const ParsedArguments parsed = parse(c.words);
    EXPECT_EQ(parsed.outcome, ParseOutcome::UsageError) << c.named;
    EXPECT_NE(parsed.error.find(c.named), std::string::npos) << parsed.error;
  }
}

TEST(KestrelArguments, WithoutAnEstimatorNamedItIsClassicWithTheGivenOrDefaultWeight) {
  const ParsedArguments five = parse({"in.png", "out.png", "31", "21", "2.2"});
  ASSERT_EQ(five.outcome, ParseOutcome::Run) << five.error;
  EXPECT_EQ(five.options.estimator, KernelEstimator::Classic);
  EXPECT_FALSE(five.options.autoDeconvWeight);
  EXPECT_EQ(five.options.wtdeconv, 0.02);
  const ParsedArguments nine =
      parse({"in.png", "out.png", "31", "21", "2.2", "0.5", "0.03", "2", "1"});
  ASSERT_EQ(nine.outcome, ParseOutcome::Run) << nine.error;
  EXPECT_EQ(nine.options.estimator, KernelEstimator::Classic);
  EXPECT_FALSE(nine.options.autoDeconvWeight);
  EXPECT_EQ(nine.options.wtdeconv, 0.03);
}

TEST(EstimatorOption, IsTakenOutAnywhereAmongTheArguments) {
  const std::vector<std::string> positionals = {"in.png", "out.png", "31", "21", "2.2",
                                                "0.5",    "0.03",    "2",  "1"};
  for (std::size_t at = 0; at <= positionals.size(); ++at) {
    for (const std::vector<std::string>& option :
         {std::vector<std::string>{"--estimator", "sparse"},
          std::vector<std::string>{"--estimator=sparse"}}) {
      std::vector<std::string> words = positionals;
      words.insert(words.begin() + static_cast<std::ptrdiff_t>(at), option.begin(), option.end());
      const ParsedArguments parsed = parse(words);
      ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << at << ": " << parsed.error;
      EXPECT_EQ(parsed.options.estimator, KernelEstimator::Sparse) << at;
      EXPECT_EQ(parsed.options.input, "in.png") << at;
      EXPECT_EQ(parsed.options.kheight, 21) << at;
      EXPECT_EQ(parsed.options.wtdeconv, 0.03) << at;
      EXPECT_EQ(parsed.options.denoise, 1) << at;
    }
  }
}

TEST(EstimatorOption, NamesClassicExplicitlyAndLetsTheLastOneCount) {
  EXPECT_EQ(
      parse({"--estimator", "classic", "in.png", "out.png", "31", "21", "2.2"}).options.estimator,
      KernelEstimator::Classic);
  EXPECT_EQ(
      parse({"--estimator=classic", "in.png", "out.png", "31", "21", "2.2", "--estimator=sparse"})
          .options.estimator,
      KernelEstimator::Sparse);
  EXPECT_EQ(parse({"--estimator=sparse", "in.png", "out.png", "31", "21", "2.2", "--estimator",
                   "classic"})
                .options.estimator,
            KernelEstimator::Classic);
}

TEST(EstimatorOption, UnknownNamesAreUsageErrorsNamingTheOptionAndTheValue) {
  for (const char* name : {"fast", "Sparse", "CLASSIC", "", "auto", "in.png"}) {
    for (const std::vector<std::string>& option :
         {std::vector<std::string>{"--estimator", name},
          std::vector<std::string>{std::string("--estimator=") + name}}) {
      std::vector<std::string> words = {"in.png", "out.png", "31", "21", "2.2"};
      words.insert(words.begin() + 2, option.begin(), option.end());
      const ParsedArguments parsed = parse(words);
      EXPECT_EQ(parsed.outcome, ParseOutcome::UsageError) << name;
      EXPECT_NE(parsed.error.find("--estimator"), std::string::npos) << parsed.error;
      EXPECT_NE(parsed.error.find(std::string("'") + name + "'"), std::string::npos)
          << parsed.error;
    }
  }
}

TEST(EstimatorOption, AMissingNameIsAUsageErrorNamingTheOption) {
  for (const std::vector<std::string>& words :
       {std::vector<std::string>{"in.png", "out.png", "31", "21", "2.2", "--estimator"},
        std::vector<std::string>{"--estimator"}}) {
    const ParsedArguments parsed = parse(words);
    EXPECT_EQ(parsed.outcome, ParseOutcome::UsageError);
    EXPECT_NE(parsed.error.find("--estimator"), std::string::npos) << parsed.error;
  }
}

TEST(EstimatorOption, LeavesHelpAndTheUsageAsTheyWere) {
  EXPECT_EQ(parse({"--estimator", "sparse", "--help"}).outcome, ParseOutcome::ShowHelp);
  EXPECT_EQ(parse({"--estimator=sparse", "in.png", "out.png"}).outcome, ParseOutcome::ShowUsage);
}

TEST(AutomaticWeight, IsAcceptedForWtdeconvWithEitherEstimator) {
  for (const char* estimator : {"--estimator=classic", "--estimator=sparse"}) {
    const ParsedArguments seven =
        parse({"in.png", "out.png", "31", "21", "2.2", "0.5", "auto", estimator});
    ASSERT_EQ(seven.outcome, ParseOutcome::Run) << seven.error;
    EXPECT_TRUE(seven.options.autoDeconvWeight) << estimator;
    EXPECT_EQ(seven.options.wtdeconv, 0.02) << estimator;
  }
  const ParsedArguments plain = parse({"in.png", "out.png", "31", "21", "2.2", "0.5", "auto"});
  ASSERT_EQ(plain.outcome, ParseOutcome::Run) << plain.error;
  EXPECT_TRUE(plain.options.autoDeconvWeight);
  EXPECT_EQ(plain.options.estimator, KernelEstimator::Classic);
}

TEST(AutomaticWeight, LeavesTheArgumentsAfterWtdeconvAsTheyWere) {
  const ParsedArguments parsed =
      parse({"in.png", "out.png", "31", "21", "2.2", "0.5", "auto", "0.25", "2"});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
  EXPECT_TRUE(parsed.options.autoDeconvWeight);
  EXPECT_EQ(parsed.options.wtscale, 0.5);
  EXPECT_EQ(parsed.options.wtderinging, 0.25);
  EXPECT_EQ(parsed.options.denoise, 2);
}

TEST(AutomaticWeight, IsTheDefaultOfTheSparseEstimatorOnly) {
  const ParsedArguments five =
      parse({"--estimator", "sparse", "in.png", "out.png", "31", "21", "2.2"});
  ASSERT_EQ(five.outcome, ParseOutcome::Run) << five.error;
  EXPECT_TRUE(five.options.autoDeconvWeight);
  const ParsedArguments six =
      parse({"in.png", "out.png", "31", "21", "2.2", "0.5", "--estimator", "sparse"});
  ASSERT_EQ(six.outcome, ParseOutcome::Run) << six.error;
  EXPECT_TRUE(six.options.autoDeconvWeight);
  EXPECT_EQ(six.options.wtscale, 0.5);
  const ParsedArguments classic =
      parse({"--estimator", "classic", "in.png", "out.png", "31", "21", "2.2", "0.5"});
  ASSERT_EQ(classic.outcome, ParseOutcome::Run) << classic.error;
  EXPECT_FALSE(classic.options.autoDeconvWeight);
  EXPECT_EQ(classic.options.wtdeconv, 0.02);
}

TEST(AutomaticWeight, GivesWayToANumberGivenWithTheSparseEstimator) {
  const ParsedArguments parsed =
      parse({"--estimator", "sparse", "in.png", "out.png", "31", "21", "2.2", "0.5", "0.004"});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
  EXPECT_FALSE(parsed.options.autoDeconvWeight);
  EXPECT_EQ(parsed.options.wtdeconv, 0.004);
  const ParsedArguments bad =
      parse({"--estimator", "sparse", "in.png", "out.png", "31", "21", "2.2", "0.5", "0"});
  EXPECT_EQ(bad.outcome, ParseOutcome::UsageError);
  EXPECT_NE(bad.error.find("wtdeconv"), std::string::npos) << bad.error;
}

TEST(AutomaticWeight, IsRefusedInEveryOtherPositionNamingTheArgument) {
  struct Case {
    std::vector<std::string> words;
    std::string named;
  };
  const std::vector<Case> cases = {
      {{"i.png", "o.png", "Auto", "31", "2.2"}, "kwidth"},
      {{"i.png", "o.png", "31", "auto ", "2.2"}, "kheight"},
      {{"i.png", "o.png", "31", "31", "auto"}, "gamma"},
      {{"i.png", "o.png", "31", "31", "2", "auto"}, "wtscale"},
      {{"i.png", "o.png", "31", "31", "2", "0.7", "0.02", "auto"}, "wtderinging"},
      {{"i.png", "o.png", "31", "31", "2", "0.7", "auto", "1", "auto"}, "denoise"},
      {{"i.png", "o.png", "31", "31", "2", "0.7", "Auto"}, "wtdeconv"},
      {{"i.png", "o.png", "31", "31", "2", "0.7", "auto "}, "wtdeconv"},
  };
  for (const Case& c : cases) {
    const ParsedArguments parsed = parse(c.words);
    EXPECT_EQ(parsed.outcome, ParseOutcome::UsageError) << c.named;
    EXPECT_NE(parsed.error.find(c.named + " '"), std::string::npos) << parsed.error;
  }
}

TEST(AutomaticKernelSize, EitherSideMayBeMeasuredAndKeepsTheOtherAsGiven) {
  const ParsedArguments both = parse({"i.png", "o.png", "auto", "auto", "2.2"});
  ASSERT_EQ(both.outcome, ParseOutcome::Run) << both.error;
  EXPECT_TRUE(both.options.autoKernelWidth);
  EXPECT_TRUE(both.options.autoKernelHeight);
  // A given side of 1 is no longer a 1 x 1 kernel when the other is measured.
  const ParsedArguments one = parse({"i.png", "o.png", "1", "auto", "2.2"});
  ASSERT_EQ(one.outcome, ParseOutcome::Run) << one.error;
  EXPECT_FALSE(one.options.autoKernelWidth);
  EXPECT_EQ(one.options.kwidth, 1);
  EXPECT_TRUE(one.options.autoKernelHeight);
  const ParsedArguments even = parse({"i.png", "o.png", "auto", "8", "2.2"});
  EXPECT_EQ(even.outcome, ParseOutcome::UsageError);
  EXPECT_NE(even.error.find("kheight '8'"), std::string::npos) << even.error;
}

TEST(AutomaticKernelSize, TheMeasuringKernelIsSizedToThePicture) {
  const ParsedArguments parsed = parse({"i.png", "o.png", "auto", "9", "2.2"});
  const KernelSize largest = largestKernelSize(parsed.options, 4000, 3000);
  EXPECT_EQ(largest.width, 75);
  EXPECT_EQ(largest.height, 9);
  std::string error;
  EXPECT_TRUE(kernelSizeMeasurable(parsed.options, largest, 4000, 3000, error)) << error;
  // Measurable with a 15-wide probe, but not with a given height of 9 on 6 rows.
  EXPECT_FALSE(kernelSizeMeasurable(parsed.options, largestKernelSize(parsed.options, 80, 6),
                                    80, 6, error));
  EXPECT_NE(error.find("give both sides as numbers"), std::string::npos) << error;
}

TEST(KestrelHelp, ExplainsTheEstimatorAndTheAutomaticWeight) {
  const std::string help = kestrelHelp();
  for (const char* word : {"--estimator classic|sparse", "sparse-gradient", "edge-prediction",
                           "or auto", "noise measured"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

TEST(KestrelArguments, AOneSidedKernelIsAccepted) {
  EXPECT_EQ(parse({"in.png", "out.png", "31", "1", "2.2"}).outcome, ParseOutcome::Run);
}

TEST(DeringingWeight, IsCappedAtFiveTimesTenAndRoundedHalfUp) {
  EXPECT_EQ(deringingWeight(1.0), 10);
  EXPECT_EQ(deringingWeight(7.0), 50);
  EXPECT_EQ(deringingWeight(5.0), 50);
  EXPECT_EQ(deringingWeight(0.25), 3);
  EXPECT_EQ(deringingWeight(0.04), 0);
  EXPECT_EQ(deringingWeight(0.0), 0);
  EXPECT_LE(deringingWeight(-2.0), 1);
}

TEST(KernelPath, DropsTheLastFourCharactersWhateverTheExtension) {
  EXPECT_EQ(kernelPathFor("boat.png"), "boat_kernel.png");
  EXPECT_EQ(kernelPathFor("dir/boat.png"), "dir/boat_kernel.png");
  EXPECT_EQ(kernelPathFor("photo.jpeg"), "photo._kernel.png");
  EXPECT_EQ(kernelPathFor("abc"), "_kernel.png");
  EXPECT_EQ(kernelPathFor("abcd"), "_kernel.png");
  EXPECT_EQ(kernelPathFor("x.PNG"), "x_kernel.png");
  const std::string longPath = std::string(600, 'a') + ".png";
  EXPECT_EQ(kernelPathFor(longPath), std::string(600, 'a') + "_kernel.png");
}

TEST(RegionOption, IsTakenOutAnywhereAndTheLastOneCounts) {
  ParsedArguments parsed = parse({"--region", "10,20,300,200", "in.png", "out.png", "31", "31",
                                  "2.2", "--region=5,6,70,80"});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
  EXPECT_TRUE(parsed.options.regionGiven);
  EXPECT_FALSE(parsed.options.autoRegion);
  EXPECT_EQ(parsed.options.region.left, 5);
  EXPECT_EQ(parsed.options.region.top, 6);
  EXPECT_EQ(parsed.options.region.width, 70);
  EXPECT_EQ(parsed.options.region.height, 80);
  EXPECT_EQ(parsed.options.kwidth, 31);

  parsed = parse({"in.png", "out.png", "31", "31", "2.2", "--region", "auto"});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
  EXPECT_TRUE(parsed.options.autoRegion);
  EXPECT_FALSE(parsed.options.regionGiven);
}

TEST(RegionOption, MalformedRegionsAreUsageErrorsNamingTheOption) {
  for (const char* bad : {"1,2,3", "1,2,3,4,5", "-1,0,10,10", "0,0,0,10", "a,b,c,d", "1,,2,3",
                          "Auto", "1.5,0,10,10", ""}) {
    const ParsedArguments parsed = parse({"in.png", "out.png", "31", "31", "2.2", "--region", bad});
    EXPECT_EQ(parsed.outcome, ParseOutcome::UsageError) << bad;
    EXPECT_EQ(parsed.error.find("--region '" + std::string(bad) + "' must be auto or X,Y,W,H"), 0u)
        << parsed.error;
  }
  const ParsedArguments missing = parse({"in.png", "out.png", "31", "31", "2.2", "--region"});
  EXPECT_EQ(missing.outcome, ParseOutcome::UsageError);
  EXPECT_EQ(missing.error, "--region needs auto or X,Y,W,H");
}

TEST(RegionOption, AGivenRegionMustLieInsideThePictureAndHoldTheKernel) {
  KestrelOptions options;
  options.input = "photo.png";
  options.kwidth = options.kheight = 31;
  options.regionGiven = true;
  Region region;
  std::string reason;
  options.region = {100, 50, 400, 300};
  ASSERT_TRUE(estimationRegion(options, 500, 350, nullptr, nullptr, region, reason)) << reason;
  EXPECT_EQ(region.left, 100);
  EXPECT_EQ(region.height, 300);
  options.region = {101, 50, 400, 300};
  EXPECT_FALSE(estimationRegion(options, 500, 350, nullptr, nullptr, region, reason));
  EXPECT_EQ(reason, "--region 101,50,400,300 reaches beyond the 500x350 picture 'photo.png'");
  options.region = {0, 0, 20, 300};
  EXPECT_FALSE(estimationRegion(options, 500, 350, nullptr, nullptr, region, reason));
  EXPECT_EQ(reason.find("--region 0,0,20,300: kernel 31x31 is too large"), 0u) << reason;
  // Without the option the whole picture is the region.
  options.regionGiven = false;
  ASSERT_TRUE(estimationRegion(options, 500, 350, nullptr, nullptr, region, reason));
  EXPECT_EQ(region.width, 500);
  EXPECT_EQ(region.height, 350);
}

TEST(KernelFit, RefusesPicturesSmallerThanTheKernelAtSomeLevel) {
  KestrelOptions options;
  options.input = "small.png";
  options.kwidth = 31;
  options.kheight = 31;
  std::string error;
  EXPECT_TRUE(kernelFitsPicture(options, 640, 480, error));
  EXPECT_FALSE(kernelFitsPicture(options, 20, 480, error));
  EXPECT_NE(error.find("small.png"), std::string::npos);
  EXPECT_NE(error.find("31x31"), std::string::npos);
}

TEST(TimeCost, BlindRunsShowMinutesOnlyFromOneMinuteOn) {
  EXPECT_EQ(blindTimeCostText(75000.0), "time cost : 1(m)15(s)\n");
  EXPECT_EQ(blindTimeCostText(59900.0), "time cost : 59(s)\n");
  EXPECT_EQ(blindTimeCostText(999.0), "time cost : 0(s)\n");
  EXPECT_EQ(blindTimeCostText(3600000.0), "time cost : 60(m)0(s)\n");
}

TEST(TimeCost, NonBlindRunsAlwaysShowMinutes) {
  EXPECT_EQ(nonBlindTimeCostText(42000.0), "time cost : 0(m)42(s)\n");
  EXPECT_EQ(nonBlindTimeCostText(75500.0), "time cost : 1(m)15(s)\n");
}

TEST(StrictNumbers, AcceptOnlyWholeFiniteNumbers) {
  int whole = 0;
  EXPECT_TRUE(parseInteger("-12", whole));
  EXPECT_EQ(whole, -12);
  EXPECT_FALSE(parseInteger(" 12", whole));
  EXPECT_FALSE(parseInteger("12 ", whole));
  EXPECT_FALSE(parseInteger("0x10", whole));
  double real = 0.0;
  EXPECT_TRUE(parseReal("2e-2", real));
  EXPECT_EQ(real, 0.02);
  EXPECT_TRUE(parseReal(".5", real));
  EXPECT_EQ(real, 0.5);
  EXPECT_FALSE(parseReal("1e400", real));
  EXPECT_FALSE(parseReal("-inf", real));
  EXPECT_FALSE(parseReal("1,5", real));
}

TEST(ThreadsOption, IsTakenOutAnywhereAndChecked) {
  std::vector<std::string> words;
  int threads = -1;
  std::string error;
  const char* spaced[] = {"kestrel", "in.png", "--threads", "3", "out.png"};
  ASSERT_TRUE(takeThreadsOption(5, spaced, words, threads, error));
  EXPECT_EQ(threads, 3);
  EXPECT_EQ(words, (std::vector<std::string>{"in.png", "out.png"}));
  const char* joined[] = {"kestrel", "--threads=1", "in.png"};
  ASSERT_TRUE(takeThreadsOption(3, joined, words, threads, error));
  EXPECT_EQ(threads, 1);
  EXPECT_EQ(words, (std::vector<std::string>{"in.png"}));
  const char* absent[] = {"kestrel", "in.png"};
  ASSERT_TRUE(takeThreadsOption(2, absent, words, threads, error));
  EXPECT_EQ(threads, 0);
  for (const char* bad : {"0", "-1", "257", "two", ""}) {
    const char* argv[] = {"kestrel", "--threads", bad};
    EXPECT_FALSE(takeThreadsOption(3, argv, words, threads, error)) << bad;
    EXPECT_NE(error.find("--threads"), std::string::npos);
  }
  const char* missing[] = {"kestrel", "in.png", "--threads"};
  EXPECT_FALSE(takeThreadsOption(3, missing, words, threads, error));
  EXPECT_EQ(error, "--threads needs a number of threads");
}

TEST(ThreadsOption, ReportsTheFirstProblemOnTheLine) {
  std::vector<std::string> words;
  int threads = 0;
  std::string error;
  const char* badThenMissing[] = {"kestrel", "--threads=0", "in.png", "--threads"};
  EXPECT_FALSE(takeThreadsOption(4, badThenMissing, words, threads, error));
  EXPECT_EQ(error, "--threads '0' must be a whole number from 1 to 256");
  const char* twice[] = {"kestrel", "--threads", "2", "in.png", "--threads=5"};
  ASSERT_TRUE(takeThreadsOption(5, twice, words, threads, error));
  EXPECT_EQ(threads, 5);
  EXPECT_EQ(words, (std::vector<std::string>{"in.png"}));
}

TEST(OptionValues, AreTakenOutInOrderLeavingTheOtherWordsInTheirs) {
  std::vector<std::string> words = {"a",         "--pick", "1",      "b",     "--pick=2",
                                    "--picky=3", "c",      "--pick", "--pick"};
  bool missingValue = true;
  const std::vector<std::string> values = takeOptionValues(words, "--pick", missingValue);
  EXPECT_EQ(values, (std::vector<std::string>{"1", "2", "--pick"}));
  EXPECT_EQ(words, (std::vector<std::string>{"a", "b", "--picky=3", "c"}));
  EXPECT_FALSE(missingValue);
}

TEST(OptionValues, NoticeAnOptionLeftWithoutAValue) {
  std::vector<std::string> words = {"a", "--pick=", "--pick"};
  bool missingValue = false;
  EXPECT_EQ(takeOptionValues(words, "--pick", missingValue), (std::vector<std::string>{""}));
  EXPECT_TRUE(missingValue);
  EXPECT_EQ(words, (std::vector<std::string>{"a"}));
  std::vector<std::string> none;
  EXPECT_TRUE(takeOptionValues(none, "--pick", missingValue).empty());
  EXPECT_FALSE(missingValue);
}

}  // namespace
}  // namespace kestrel

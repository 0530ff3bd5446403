// The embedder over a small random model: vectors, batches, the shared instance and installing.
#include "retrieval/embedder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <atomic>
#include <fstream>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "retrieval/random_bert.h"
#include "test_support.h"

namespace zelk {
namespace {

using testing::RandomBertSpec;

const char* kWords[] = {"the", "a", "cat", "dog", "sat", "on", "mat", "quick", "brown", "fox",
                        "jump", "##s", "##ed", "over", "lazy", "represent", "this", "sentence",
                        "for", "search", "##ing", "relevant", "passage", ":", ".", ",", "?"};

std::string smallVocab() {
  std::string vocab = "[PAD]\n[UNK]\n[CLS]\n[SEP]\n";
  for (const char* w : kWords) vocab += std::string(w) + "\n";
  return vocab;
}

// Writes a small model and its vocabulary into folder.
void writeSmallModel(const std::string& folder, uint64_t seed = 21) {
  ASSERT_TRUE(platform::createDirectories(folder));
  auto model = testing::makeRandomBert(RandomBertSpec{.vocab = 40, .seed = seed});
  ASSERT_TRUE(testing::writeRandomBert(model, platform::joinPath(folder, "model.safetensors")));
  ASSERT_TRUE(testing::writeFile(platform::joinPath(folder, "vocab.txt"), smallVocab()));
}

double dot(const std::vector<float>& a, const std::vector<float>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += double(a[i]) * b[i];
  return sum;
}

class EmbedderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Embedder::resetShared();
    folder_ = home_.dir().file("download");
    writeSmallModel(folder_);
  }
  void TearDown() override { Embedder::resetShared(); }
  Embedder load() const {
    return Embedder(folder_ + "/model.safetensors", folder_ + "/vocab.txt");
  }
  testing::IsolatedHome home_;
  std::string folder_;
};

TEST_F(EmbedderTest, EmbedsTokenIdsAsTheEncoderDoes) {
  Embedder e = load();
  std::string text = "The quick brown fox jumped over the lazy dog.";
  std::vector<int32_t> ids = e.tokenIds(text);
  EXPECT_EQ(ids, (std::vector<int32_t>{2, 4, 11, 12, 13, 14, 16, 17, 4, 18, 7, 28, 3}));
  std::vector<float> v = e.embed(text);
  ASSERT_EQ(v.size(), 64u);
  EXPECT_NEAR(dot(v, v), 1.0, 1e-5);
  std::vector<float> direct = e.model().encode({ids})[0];
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], direct[i]);
}

TEST_F(EmbedderTest, TextsAreCutToTheModelsPositions) {
  Embedder e = load();
  std::string text;
  for (int i = 0; i < 100; ++i) text += "cat ";
  EXPECT_EQ(e.tokenIds(text).size(), 40u);  // the small model has 40 positions
  EXPECT_EQ(e.embed(text).size(), 64u);
  EXPECT_EQ(e.embed("").size(), 64u);
}

TEST_F(EmbedderTest, BatchesOfSixtyFourWithProgressInInputOrder) {
  Embedder e = load();
  std::vector<std::string> texts;
  for (int i = 0; i < 130; ++i) {
    std::string t;
    for (int k = 0; k <= (i * 13) % 30; ++k) t += std::string(kWords[(i + k) % 15]) + " ";
    texts.push_back(t);
  }
  std::vector<std::pair<size_t, size_t>> calls;
  int asked = 0;
  auto vectors = e.embed(
      texts, 64, [&] { ++asked; return false; },
      [&](size_t done, size_t total) { calls.emplace_back(done, total); });
  EXPECT_EQ(calls, (std::vector<std::pair<size_t, size_t>>{{64, 130}, {128, 130}, {130, 130}}));
  EXPECT_EQ(asked, 3);
  ASSERT_EQ(vectors.size(), texts.size());
  for (size_t i : {size_t(0), size_t(63), size_t(64), size_t(129)}) {
    std::vector<float> alone = e.embed(texts[i]);
    for (size_t c = 0; c < alone.size(); ++c) ASSERT_NEAR(vectors[i][c], alone[c], 1e-5) << i;
  }
  EXPECT_TRUE(e.embed({}, 64, [] { return false; }).empty());
  EXPECT_EQ(e.embed({"cat", "dog"}, 0, nullptr).size(), 2u);  // batch size at least 1
}

TEST_F(EmbedderTest, ThreadsShareOneEmbedder) {
  Embedder e = load();
  std::vector<std::string> texts = {"the cat sat on the mat", "a quick brown fox",
                                    "this sentence is for searching"};
  std::vector<std::vector<float>> expected;
  for (const auto& t : texts) expected.push_back(e.embed(t));
  std::vector<std::thread> threads;
  std::atomic<int> mismatches{0};
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([&, k] {
      for (int round = 0; round < 20; ++round) {
        size_t i = size_t(k + round) % texts.size();
        std::vector<float> v = e.embed(texts[i]);
        for (size_t c = 0; c < v.size(); ++c) {
          if (std::fabs(v[c] - expected[i][c]) > 1e-6f) ++mismatches;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(EmbedderTest, CancellationStopsBeforeTheNextBatch) {
  Embedder e = load();
  std::vector<std::string> texts(10, "the cat sat on the mat");
  int asked = 0;
  std::vector<size_t> progress;
  EXPECT_THROW(e.embed(
                   texts, 4, [&] { return ++asked == 2; },
                   [&](size_t done, size_t) { progress.push_back(done); }),
               CancellationError);
  EXPECT_EQ(progress, (std::vector<size_t>{4}));
}

TEST_F(EmbedderTest, VocabularyWithoutTokensGivesNoEmbedder) {
  ASSERT_TRUE(testing::writeFile(folder_ + "/vocab.txt", "\n\n"));
  try {
    load();
    FAIL();
  } catch (const EmbedderError& e) {
    EXPECT_EQ(e.kind(), EmbedderError::Kind::vocabLoadFailed);
    EXPECT_STREQ(e.what(), "vocabLoadFailed");
  }
}

TEST_F(EmbedderTest, VocabularyLargerThanTheModelIsRefused) {
  std::string vocab = smallVocab();
  for (int i = 0; i < 20; ++i) vocab += "extra" + std::to_string(i) + "\n";
  ASSERT_TRUE(testing::writeFile(folder_ + "/vocab.txt", vocab));
  try {
    load();
    FAIL();
  } catch (const ModelLoadError& e) {
    EXPECT_EQ(std::string(e.what()), folder_ + "/vocab.txt: token id 50 has no embedding in a "
                                                "model of 40 word pieces");
  }
}

TEST_F(EmbedderTest, NotInstalledMeansNoSharedEmbedder) {
  EXPECT_EQ(Embedder::makeSharedIfInstalled(), nullptr);
  EXPECT_FALSE(std::filesystem::exists(platform::modelsDir()));
}

TEST_F(EmbedderTest, SharedInstanceLoadsOnceInstalled) {
  writeSmallModel(platform::modelsDir());
  auto first = Embedder::makeSharedIfInstalled();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Embedder::makeSharedIfInstalled(), first);
  Embedder::resetShared();
  auto second = Embedder::makeSharedIfInstalled();
  EXPECT_NE(second, first);
  EXPECT_EQ(first->embed("cat"), second->embed("cat"));
}

TEST_F(EmbedderTest, BrokenInstalledModelFallsBackAndIsRetried) {
  writeSmallModel(platform::modelsDir());
  std::string model = platform::modelsDir() + "/model.safetensors";
  std::string good = *platform::readFile(model);
  ASSERT_TRUE(testing::writeFile(model, good.substr(0, good.size() / 2)));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Embedder::makeSharedIfInstalled(), nullptr);
  EXPECT_EQ(Embedder::makeSharedIfInstalled(), nullptr);
  std::string log = ::testing::internal::GetCapturedStderr();
  // One line for the same fault, however often it is tried.
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_EQ(log.rfind("zelk embedder: cannot load the model, searching by keywords only: " + model +
                          ": truncated",
                      0),
            0u)
      << log;
  ASSERT_TRUE(testing::writeFile(model, good));
  EXPECT_NE(Embedder::makeSharedIfInstalled(), nullptr);
}

TEST_F(EmbedderTest, InstallIfNeededCopiesFromTheBundle) {
  Embedder::Locations files = Embedder::installIfNeeded(folder_);
  EXPECT_EQ(files.model, platform::modelsDir() + "/model.safetensors");
  EXPECT_EQ(files.vocab, platform::modelsDir() + "/vocab.txt");
  EXPECT_EQ(platform::readFile(files.model), platform::readFile(folder_ + "/model.safetensors"));
  EXPECT_EQ(platform::readFile(files.vocab), platform::readFile(folder_ + "/vocab.txt"));
  // Installed files are kept.
  ASSERT_TRUE(testing::writeFile(files.vocab, smallVocab() + "more\n"));
  Embedder::installIfNeeded(folder_);
  EXPECT_EQ(platform::readFile(files.vocab), smallVocab() + "more\n");
  size_t entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(platform::modelsDir())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2u);  // no staging files left behind
}

TEST_F(EmbedderTest, InstallFromABundleWithoutTheModel) {
  std::filesystem::remove(folder_ + "/model.safetensors");
  try {
    Embedder::installIfNeeded(folder_);
    FAIL();
  } catch (const EmbedderError& e) {
    EXPECT_EQ(e.kind(), EmbedderError::Kind::bundledModelMissing);
  }
  // The vocabulary was there and is installed; the model is not.
  EXPECT_TRUE(std::filesystem::exists(platform::modelsDir() + "/vocab.txt"));
  EXPECT_FALSE(std::filesystem::exists(platform::modelsDir() + "/model.safetensors"));
  EXPECT_THROW(Embedder::installIfNeeded(home_.dir().file("nowhere")), EmbedderError);
}

TEST_F(EmbedderTest, MakeSharedReplacesTheCachedInstance) {
  writeSmallModel(platform::modelsDir(), 99);
  auto before = Embedder::makeSharedIfInstalled();
  ASSERT_NE(before, nullptr);
  auto made = Embedder::makeShared(folder_);  // files already installed: reloads them
  EXPECT_NE(made, before);
  EXPECT_EQ(Embedder::makeSharedIfInstalled(), made);
}

TEST_F(EmbedderTest, DefaultBundleLiesBesideTheProgram) {
  std::string bundle = Embedder::defaultBundle();
  EXPECT_TRUE(bundle.ends_with("/share/zelk/models")) << bundle;
}

class InstallModel : public EmbedderTest {
 protected:
  ModelInstaller::Expected small_{.hidden = 64, .layers = 2, .intermediate = 128,
                                  .maxPositions = 40};
};

TEST_F(InstallModel, ChecksThenCopiesBothFiles) {
  std::string target = home_.dir().file("models");
  std::string report = ModelInstaller::install(folder_, target, small_);
  EXPECT_EQ(report.rfind("installed model.safetensors (", 0), 0u) << report;
  EXPECT_NE(report.find("2 layers, hidden size 64, 40 word pieces) and vocab.txt (31 tokens) from " +
                        folder_ + " into " + target),
            std::string::npos)
      << report;
  EXPECT_EQ(platform::readFile(target + "/model.safetensors"),
            platform::readFile(folder_ + "/model.safetensors"));
  EXPECT_EQ(platform::readFile(target + "/vocab.txt"), smallVocab());
  // Installing again replaces the files in place.
  writeSmallModel(folder_, 5);
  ModelInstaller::install(folder_, target, small_);
  EXPECT_EQ(platform::readFile(target + "/model.safetensors"),
            platform::readFile(folder_ + "/model.safetensors"));
}

struct RefusalCase {
  const char* name;
  std::function<void(const std::string& folder)> breakFolder;
  const char* message;  // after the folder path
};

TEST_F(InstallModel, RefusesBadFoldersAndInstallsNothing) {
  const std::vector<RefusalCase> cases = {
      {"no model", [](const std::string& f) { std::filesystem::remove(f + "/model.safetensors"); },
       "no model.safetensors in "},
      {"no vocab", [](const std::string& f) { std::filesystem::remove(f + "/vocab.txt"); },
       "no vocab.txt in "},
      {"empty vocab", [](const std::string& f) { testing::writeFile(f + "/vocab.txt", ""); },
       "/vocab.txt holds no tokens"},
      {"truncated model",
       [](const std::string& f) {
         std::string bytes = *platform::readFile(f + "/model.safetensors");
         testing::writeFile(f + "/model.safetensors", bytes.substr(0, 5000));
       },
       "/model.safetensors: truncated"},
  };
  std::string target = home_.dir().file("models");
  for (const RefusalCase& c : cases) {
    writeSmallModel(folder_);
    c.breakFolder(folder_);
    try {
      ModelInstaller::install(folder_, target, small_);
      ADD_FAILURE() << c.name;
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.name << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(target)) << c.name;
  }
}

TEST_F(InstallModel, TheCommandRefusesAnotherArchitecture) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Embedder::installModelMain(folder_), 1);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "zelk-mcp --install-model: " + folder_ +
                     "/model.safetensors: a model of hidden size 64, 2 layers, intermediate size "
                     "128 and 40 positions is not bge-small-en-v1.5 (hidden size 384, 12 layers, "
                     "intermediate size 1536, 512 positions)\n");
  EXPECT_FALSE(std::filesystem::exists(platform::modelsDir()));
}

TEST_F(InstallModel, TheCommandRefusesAMissingFolder) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Embedder::installModelMain(home_.dir().file("absent")), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "zelk-mcp --install-model: no model.safetensors in " + home_.dir().file("absent") +
                "\n");
}

// Runs only where the published model is installed (never in CI): known properties of its output.
TEST(InstalledModel, PublishedModelProperties) {
  Embedder::Locations files = Embedder::installedLocations();
  if (!std::filesystem::exists(files.model) || !std::filesystem::exists(files.vocab)) {
    GTEST_SKIP() << "no model installed in " << platform::modelsDir();
  }
  Embedder e(files.model, files.vocab);
  EXPECT_EQ(e.model().config().hidden, 384);
  EXPECT_EQ(e.model().config().layers, 12);
  std::vector<float> q = e.embed(std::string(Embedder::kQuestionPrefix) +
                                 "How do I reset my password?");
  std::vector<float> paraphrase = e.embed("Steps to change the password of your account.");
  std::vector<float> unrelated = e.embed("The recipe needs two cups of flour and an egg.");
  EXPECT_NEAR(dot(q, q), 1.0, 1e-5);
  EXPECT_NEAR(dot(paraphrase, paraphrase), 1.0, 1e-5);
  EXPECT_GT(dot(q, paraphrase), dot(q, unrelated) + 0.05);
  std::vector<float> a = e.embed("A man is playing a guitar.");
  std::vector<float> b = e.embed("Someone plays an acoustic guitar.");
  std::vector<float> c = e.embed("The stock market fell sharply today.");
  EXPECT_GT(dot(a, b), dot(a, c));
  EXPECT_EQ(e.tokenIds("Hello, World!"), (std::vector<int32_t>{101, 7592, 1010, 2088, 999, 102}));
}

}  // namespace
}  // namespace zelk

#include "tokenizer/PromptChunks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace dravelin;

namespace {

// Every printable character alone and word-final: each character of a word
// is one token, so token counts are easy to read off a prompt.
BPETokenizer characterTokenizer() {
    BPETokenizer::Vocabulary vocabulary;
    for (char c = '!'; c <= '~'; ++c) {
        vocabulary.emplace(std::string(1, c), static_cast<int>(vocabulary.size()));
        vocabulary.emplace(std::string(1, c) + "</w>", static_cast<int>(vocabulary.size()));
    }
    vocabulary.emplace("<|startoftext|>", static_cast<int>(vocabulary.size()));
    vocabulary.emplace("<|endoftext|>", static_cast<int>(vocabulary.size()));
    return BPETokenizer(BPETokenizer::MergeRanks{}, std::move(vocabulary), "<|endoftext|>");
}

std::vector<WeightedText> plain(const std::string& text) {
    return {{text, 1.0}};
}

} // namespace

// A full chunk moves the tokens after its last comma to the next chunk when
// that comma is among its last 20 tokens, and is cut at 75 tokens otherwise.
TEST(PromptChunks, LongPromptsSplitAtARecentComma) {
    const BPETokenizer tokenizer = characterTokenizer();
    const int comma = *tokenizer.tokenID(",</w>");
    // Words of one token each: "x," is two tokens.
    std::string prompt;
    for (int i = 0; i < 60; ++i) {
        prompt += "x ";
    }
    prompt += "y, ";  // tokens 60 and 61 (the comma)
    for (int i = 0; i < 30; ++i) {
        prompt += "z ";
    }
    const std::vector<PromptChunk> chunks = chunkPrompt(plain(prompt), tokenizer);
    ASSERT_EQ(chunks.size(), 2u);
    ASSERT_EQ(chunks[0].tokenIDs.size(), 62u);
    EXPECT_EQ(chunks[0].tokenIDs.back(), comma);
    EXPECT_EQ(chunks[1].tokenIDs.size(), 90u - 60u);
    EXPECT_EQ(chunks[0].weights.size(), chunks[0].tokenIDs.size());

    // A comma 21 tokens before the end is too far back: cut at 75.
    std::string far;
    for (int i = 0; i < 53; ++i) {
        far += "x ";
    }
    far += "y, ";  // the comma at index 54, 21 tokens before the end
    for (int i = 0; i < 40; ++i) {
        far += "z ";
    }
    const std::vector<PromptChunk> cut = chunkPrompt(plain(far), tokenizer);
    ASSERT_EQ(cut.size(), 2u);
    EXPECT_EQ(cut[0].tokenIDs.size(), 75u);
    EXPECT_EQ(cut[1].tokenIDs.size(), 95u - 75u);
}

TEST(PromptChunks, BreaksCloseChunksAndEmptyPromptsAreOneChunk) {
    const BPETokenizer tokenizer = characterTokenizer();
    EXPECT_EQ(chunkPrompt(plain(""), tokenizer).size(), 1u);
    EXPECT_TRUE(chunkPrompt(plain(""), tokenizer)[0].tokenIDs.empty());
    EXPECT_EQ(chunkPrompt(parseEmphasis("a BREAK b"), tokenizer).size(), 2u);
    // A break at the start closes an empty chunk; one at the end adds none.
    const std::vector<PromptChunk> chunks = chunkPrompt(parseEmphasis("BREAK (a) BREAK"), tokenizer);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_TRUE(chunks[0].tokenIDs.empty());
    EXPECT_EQ(chunks[1].weights, std::vector<float>{1.1f});
    // Each run is tokenized on its own: "(a)b" is two words.
    EXPECT_EQ(chunkPrompt(parseEmphasis("(a)b"), tokenizer)[0].tokenIDs,
              (std::vector<int>{*tokenizer.tokenID("a</w>"), *tokenizer.tokenID("b</w>")}));
}

// An embedding's vectors replace the tokens of its name, longest name first,
// with the run's weight, and never straddle two chunks.
TEST(PromptChunks, EmbeddingsReplaceTheirNames) {
    const BPETokenizer tokenizer = characterTokenizer();
    const std::vector<EmbeddingWord> words{{promptTokenIDs(tokenizer, "ab"), 2},
                                           {promptTokenIDs(tokenizer, "abc"), 3}};
    const std::vector<PromptChunk> chunks =
        chunkPrompt(parseEmphasis("ab (abc) abd"), tokenizer, words);
    ASSERT_EQ(chunks.size(), 1u);
    const int v = kEmbeddingVectorID;
    const std::vector<int> abd = promptTokenIDs(tokenizer, "abd");
    EXPECT_EQ(chunks[0].tokenIDs, (std::vector<int>{v, v, v, v, v, abd[0], abd[1], abd[2]}));
    EXPECT_EQ(chunks[0].weights, (std::vector<float>{1, 1, 1.1f, 1.1f, 1.1f, 1, 1, 1}));
    EXPECT_EQ(chunks[0].embeddings,
              (std::vector<PromptChunk::EmbeddingUse>{{0, 0}, {2, 1}}));

    std::string prompt;
    for (int i = 0; i < 73; ++i) {
        prompt += "x ";
    }
    const std::vector<PromptChunk> split = chunkPrompt(plain(prompt + "abc"), tokenizer, words);
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[0].tokenIDs.size(), 73u);
    EXPECT_EQ(split[1].embeddings, (std::vector<PromptChunk::EmbeddingUse>{{0, 1}}));

    EXPECT_THROW(chunkPrompt(plain("a"), tokenizer, {{promptTokenIDs(tokenizer, "a"), 76}}),
                 std::invalid_argument);
}

// SPDX-License-Identifier: MIT
// The table of messages in docs/messages.md names every message the tool can end
// with: a message added to the code without its cause and remedy fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "burn/messages.h"
#include "catalogue/model_table.h"
#include "image/image_source.h"

namespace {

std::set<std::string> EveryMessage() {
  std::set<std::string> messages;
  for (int m = 0; *MessageText(static_cast<BurnMessage>(m)) != '\0'; ++m) {
    messages.insert(MessageText(static_cast<BurnMessage>(m)));
  }
  for (int state = 1; state <= 3; ++state) {
    for (int status = 0; status < 16; ++status) {
      messages.insert(StateMessage(state, static_cast<AppStatus>(status)));
    }
  }
  messages.insert(kImageTooSmallMessage);
  messages.insert(kImageLoadFailedMessage);
  messages.insert(kKr2FamilyRefusal);
  messages.insert(CannotOpenMessage("COM3"));
  for (const VariantPair* pair : {&kKr2CPair, &kKr2Pw2Pair}) {
    messages.insert(pair->refusalWhenSet);
    messages.insert(pair->refusalWhenClear);
  }
  for (int i = 0; i < kModelCount; ++i) {
    const ModelRules& model = ModelAt(i);
    messages.insert(SizeLimitOf(model.name).message);
    if (model.pair != nullptr) {
      messages.insert(model.pair->refusalWhenSet);
      messages.insert(model.pair->refusalWhenClear);
    }
    for (int version = 0; version < 256; ++version) {
      if (const char* refusal = LoaderVersionRefusal(model.name, static_cast<uint8_t>(version))) {
        messages.insert(refusal);
      }
    }
    if (const char* prompt = ReconnectStepOf(model.reconnect).prompt) messages.insert(prompt);
  }
  return messages;
}

TEST(ReadmeMessages, EveryMessageOfTheToolHasItsRow) {
  std::ifstream file(MORVIX_MESSAGES_DOC);
  const std::string doc((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t table = doc.find("## Messages: cause and what to do");
  ASSERT_NE(table, std::string::npos);
  const std::string section = doc.substr(table, doc.find("\n## ", table + 1) - table);
  const std::set<std::string> messages = EveryMessage();
  EXPECT_GT(messages.size(), 40u);
  for (const std::string& message : messages) {
    EXPECT_NE(section.find(message), std::string::npos) << message;
  }
}

}  // namespace

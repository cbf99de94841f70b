// SPDX-License-Identifier: MIT
#include "burn/variant.h"

std::optional<bool> ReadingsFit(const ModelRules& model, const VariantReadings& readings) {
  const std::string_view name = model.name;
  switch (model.variant) {
    case VariantCheck::kNone: return true;
    case VariantCheck::kKr2:
      if (!readings.d1386 || !readings.d1001) return std::nullopt;
      return name ==
             PairModel(IsKr2C(*readings.d1386) ? kKr2CPair : kKr2Pw2Pair, ReadsV4(*readings.d1001));
    case VariantCheck::kD1148:
      if (!readings.d1148) return std::nullopt;
      return name == PairModel(*model.pair, *readings.d1148 != 0);
    case VariantCheck::kD1001:
      if (!readings.d1001) return std::nullopt;
      return name == PairModel(*model.pair, ReadsV4(*readings.d1001));
    case VariantCheck::kLoaderVersion:
      if (!readings.loaderVersion) return std::nullopt;
      return LoaderVersionRefusal(name, *readings.loaderVersion) == nullptr;
  }
  return std::nullopt;
}

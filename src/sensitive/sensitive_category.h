// The kinds of sensitive identifier, their names in settings and counts, and their placeholder
// labels. Pure values; callable from any thread.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace zelk {

// Declared in the order in which the system lists all categories.
enum class SensitiveCategory {
  ssn,
  ein,
  card,
  iban,
  routing,
  passportMRZ,
  canadaSIN,
  nzIRD,
  ukNINO,
  auTFN,
  passport,
  driversLicense,
  bankAccount,
  dateOfBirth,
  name,
  address,
  phone,
  email,
};

// All eighteen categories in declared order.
const std::vector<SensitiveCategory>& allSensitiveCategories();

// The raw value ("ssn", "passport_mrz", ...).
std::string_view toString(SensitiveCategory category);
// The category whose raw value is exactly `raw`; nullopt for any other text.
std::optional<SensitiveCategory> sensitiveCategoryFromString(std::string_view raw);

// The word inside a labeled placeholder ("SSN", "PASSPORT DATA", ...).
std::string_view placeholderLabel(SensitiveCategory category);

// name, address, phone and email: found by the less precise detectors, off by default.
bool isTextCategory(SensitiveCategory category);

}  // namespace zelk

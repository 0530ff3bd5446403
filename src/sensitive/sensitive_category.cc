#include "sensitive/sensitive_category.h"

#include <array>

namespace zelk {
namespace {

struct Row {
  SensitiveCategory category;
  std::string_view raw;
  std::string_view label;
};

constexpr std::array<Row, 18> kRows{{
    {SensitiveCategory::ssn, "ssn", "SSN"},
    {SensitiveCategory::ein, "ein", "EIN"},
    {SensitiveCategory::card, "card", "CARD"},
    {SensitiveCategory::iban, "iban", "IBAN"},
    {SensitiveCategory::routing, "routing", "ROUTING"},
    {SensitiveCategory::passportMRZ, "passport_mrz", "PASSPORT DATA"},
    {SensitiveCategory::canadaSIN, "ca_sin", "SIN"},
    {SensitiveCategory::nzIRD, "nz_ird", "IRD"},
    {SensitiveCategory::ukNINO, "uk_nino", "NINO"},
    {SensitiveCategory::auTFN, "au_tfn", "TFN"},
    {SensitiveCategory::passport, "passport", "PASSPORT"},
    {SensitiveCategory::driversLicense, "drivers_license", "LICENSE"},
    {SensitiveCategory::bankAccount, "bank_account", "ACCOUNT"},
    {SensitiveCategory::dateOfBirth, "dob", "DOB"},
    {SensitiveCategory::name, "name", "NAME"},
    {SensitiveCategory::address, "address", "ADDRESS"},
    {SensitiveCategory::phone, "phone", "PHONE"},
    {SensitiveCategory::email, "email", "EMAIL"},
}};

const Row& row(SensitiveCategory category) { return kRows[static_cast<size_t>(category)]; }

}  // namespace

const std::vector<SensitiveCategory>& allSensitiveCategories() {
  static const std::vector<SensitiveCategory> all = [] {
    std::vector<SensitiveCategory> v;
    for (const Row& r : kRows) v.push_back(r.category);
    return v;
  }();
  return all;
}

std::string_view toString(SensitiveCategory category) { return row(category).raw; }

std::optional<SensitiveCategory> sensitiveCategoryFromString(std::string_view raw) {
  for (const Row& r : kRows) {
    if (r.raw == raw) return r.category;
  }
  return std::nullopt;
}

std::string_view placeholderLabel(SensitiveCategory category) { return row(category).label; }

bool isTextCategory(SensitiveCategory category) {
  return category == SensitiveCategory::name || category == SensitiveCategory::address ||
         category == SensitiveCategory::phone || category == SensitiveCategory::email;
}

}  // namespace zelk

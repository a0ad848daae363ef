// The strings fixed when a launcher is built: the target spec and the values of
// COMPANY, PRODUCT, VERSION, FILE_VERSION and PRODUCT_VERSION. Each launcher
// build supplies the definition.
#pragma once

struct BuildStrings {
  const char16_t* target_spec;
  const char16_t* company;
  const char16_t* product;
  const char16_t* version;
  const char16_t* file_version;
  const char16_t* product_version;
};

const BuildStrings& build_strings();

// Addresses of the library's documentation pages named in docstrings. All
// share one base; each page is a file of the repository's docs/ folder
// (docs/<page>.md is published as <base><page>.html).
#pragma once

// Docstrings are string literals joined at compile time, hence macros.
#define TARVIK_DOCS_BASE "https://tarvik.example/docs/"

#define TARVIK_DOC_PRICE_TYPES TARVIK_DOCS_BASE "price-types.html"
#define TARVIK_DOC_STATUS_VALUES TARVIK_DOCS_BASE "status-values.html"
#define TARVIK_DOC_MESSAGE_TYPES TARVIK_DOCS_BASE "message-types.html"
#define TARVIK_DOC_STRING_TABLES TARVIK_DOCS_BASE "string-tables.html"
#define TARVIK_DOC_TRADE_CONDITIONS TARVIK_DOCS_BASE "trade-conditions.html"
#define TARVIK_DOC_QUOTE_CONDITIONS TARVIK_DOCS_BASE "quote-conditions.html"
#define TARVIK_DOC_FLAGS TARVIK_DOCS_BASE "flags.html"
#define TARVIK_DOC_SYMBOLOGY TARVIK_DOCS_BASE "symbology.html"
#define TARVIK_DOC_OPTION_SYMBOLOGY TARVIK_DOCS_BASE "symbology.html#option-contracts"

// The maker of the Tarvik library as docstrings name it; the same name as
// the module's __author__.
#define TARVIK_LIBRARY_MAKER "Tarvik Replay Labs"

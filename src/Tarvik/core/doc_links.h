// Where docstrings send the reader for more: pages of the documentation that
// is installed with the module, in the companion package's docs/ folder (a
// copy of the repository's docs/). The address is the page's path from the
// folder that holds the module and the package, site-packages once installed
// or the build tree's python/; tarvik_engine.docs_path() gives the folder.
#pragma once

// Docstrings are string literals joined at compile time, hence macros.
#define TARVIK_DOCS_BASE "tarvik_engine/docs/"

#define TARVIK_DOC_PRICE_TYPES TARVIK_DOCS_BASE "price-types.md"
#define TARVIK_DOC_STATUS_VALUES TARVIK_DOCS_BASE "status-values.md"
#define TARVIK_DOC_MESSAGE_TYPES TARVIK_DOCS_BASE "message-types.md"
#define TARVIK_DOC_STRING_TABLES TARVIK_DOCS_BASE "string-tables.md"
#define TARVIK_DOC_TRADE_CONDITIONS TARVIK_DOCS_BASE "trade-conditions.md"
#define TARVIK_DOC_QUOTE_CONDITIONS TARVIK_DOCS_BASE "quote-conditions.md"
#define TARVIK_DOC_SYMBOLOGY TARVIK_DOCS_BASE "symbology.md"
#define TARVIK_DOC_OPTION_SYMBOLOGY TARVIK_DOCS_BASE "symbology.md#option-contracts"

// The maker of the Tarvik library as docstrings name it; the same name as
// the module's __author__.
#define TARVIK_LIBRARY_MAKER "Tarvik Replay Labs"

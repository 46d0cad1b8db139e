#pragma once
// The quality-score data-set document: element and attribute names, the
// document frame, number formatting and serialisation, shared by every
// program that reads or writes it.

#include <memory>
#include <string>

#include "base/params.hpp"

namespace xmlpp {
class Document;
class Element;
}  // namespace xmlpp

namespace qualxml {

inline constexpr char kRoot[] = "Contig";
inline constexpr char kSystemId[] = "qual.dtd";
inline constexpr char kColumn[] = "Column";
inline constexpr char kChr[] = "Chr";
inline constexpr char kPrObservedCond[] = "PrObservedCond";
inline constexpr char kFSParams[] = "FSParams";

inline constexpr char kPos[] = "pos";
// The contig of a Column and of the Columns after it without one; written
// after pos on the first Column of each contig (qualfit takes the first
// attribute as the position and ignores the others).
inline constexpr char kContig[] = "contig";
inline constexpr char kScore[] = "score";
inline constexpr char kError[] = "error";
inline constexpr char kMinor[] = "minor";
inline constexpr char kOther[] = "other";
inline constexpr char kAnc[] = "anc";
inline constexpr char kDist[] = "dist";
inline constexpr char kParams[] = "params";

// New document: version "1.0", internal subset Contig / "qual.dtd", root
// element Contig, which is returned through root.
std::unique_ptr<xmlpp::Document> NewDocument(xmlpp::Element*& root);

// Appends FSParams with dist = the model's name, params = the parameter
// string of params.
void AppendFSParams(xmlpp::Element* root, const std::string& dist, const TParamVector& params);

// Formatted text of the document: `<?xml version="1.0"?>` first (no
// encoding), two-blank indentation, a line break at the end.
std::string Serialize(xmlpp::Document& doc);

// A number as the documents write it: default stream format (six
// significant digits), followed by one blank.
void AppendNumber(std::string& out, double value);

}  // namespace qualxml

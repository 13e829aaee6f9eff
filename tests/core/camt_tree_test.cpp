// The camt reading's own view of the parsed document, checked against the rules it
// replaces: the tree of local names and texts against the parser's answers for a document
// parsed with every text as a node, the inline byte compares and copies against the
// library's, and a payment's details joined in place against the copy merge makes.
#include <pugixml.hpp>

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "camt/bytes.hpp"
#include "camt/details.hpp"
#include "camt/xml_tree.hpp"

namespace tallyfold::camt {
namespace {

// Documents whose elements hold text in every place it can be: alone, before, between
// and after children, as CDATA, as references, with prefixes, attributes and blanks.
const char* const kDocuments[] = {
    "<a/>",
    "<a>text</a>",
    "<a>  padded\t</a>",
    "<a><b>1</b><c>2</c><b>3</b></a>",
    "<a>lead<b>1</b>tail</a>",
    "<a><b>1</b>tail<c/></a>",
    "<a><![CDATA[ data ]]>after</a>",
    "<a>before<![CDATA[data]]></a>",
    "<a><![CDATA[]]><b>x</b></a>",
    "<a>&amp;&lt;&#x41;&#66;</a>",
    "<a>&#x20;</a>",
    "<p:a xmlns:p=\"urn:x\"><p:b p:at=\" v \">x</p:b><q:c:d>y</q:c:d></p:a>",
    "<a xmlns=\"urn:y\" k=\"1\" l=\"\t2\n\"><b m=\"3\"/></a>",
    "<a>\n  <b>\n    <c>deep</c>\n  </b>\n  <d/>\n</a>",
    "<a><b><c><d><e><f>6</f></e></d></c></b>x</a>",
    "<Ntry><Amt Ccy=\"EUR\">1.00</Amt><BookgDt>junk<Dt>2024-01-01</Dt></BookgDt><ValDt><Dt>bad</Dt>t</ValDt></Ntry>",
    "<a>\xC3\xA4\xE2\x82\xAC<b>\xF0\x9F\x98\x80</b></a>",
};

// The rules the tree stands for, asked of a document parsed with every text as a node.
void expect_same(Element e, Node reference, const std::string& where) {
  SCOPED_TRACE(where);
  ASSERT_TRUE(e);
  EXPECT_EQ(e.name(), local_name(reference));
  EXPECT_EQ(e.text(), text_of(reference));
  EXPECT_EQ(e.has_children(), static_cast<bool>(reference.first_child()));
  std::vector<std::pair<std::string, std::string>> attributes;
  for (pugi::xml_attribute a = reference.first_attribute(); a; a = a.next_attribute()) {
    attributes.emplace_back(a.name(), std::string(trim_white_space(a.value())));
  }
  ASSERT_EQ(e.attributes().size(), attributes.size());
  for (std::size_t i = 0; i < attributes.size(); ++i) {
    EXPECT_EQ(e.attributes()[i].name, attributes[i].first);
    EXPECT_EQ(e.attributes()[i].local, local_name(attributes[i].first.c_str()));
    EXPECT_EQ(e.attributes()[i].value, attributes[i].second);
    EXPECT_EQ(e.attribute(e.attributes()[i].local), trim_attribute(reference, e.attributes()[i].local));
  }
  // The element children in order, each found by name as the parser's child() finds it.
  Element c = e.first_element();
  for (Node r = reference.first_child(); r; r = r.next_sibling()) {
    if (!is_element(r)) continue;
    expect_same(c, r, where + "/" + std::string(local_name(r)));
    EXPECT_EQ(e.child(local_name(r)).node().offset_debug(), child(reference, local_name(r)).offset_debug());
    c = c.next_element();
  }
  EXPECT_FALSE(c);
  // What a warning quotes as the first child's text.
  EXPECT_EQ(first_child_text(e.node()), text_of(reference.first_child()));
}

TEST(CamtTree, AgreesWithTheParsersAnswersWithTextsAsNodes) {
  for (const char* text : kDocuments) {
    pugi::xml_document read;
    pugi::xml_document reference;
    ASSERT_TRUE(read.load_string(text, kParseOptions)) << text;
    ASSERT_TRUE(reference.load_string(text, kParseOptions & ~pugi::parse_embed_pcdata)) << text;
    Tree tree;
    tree.read(read.document_element());
    expect_same(root_of(tree), reference.document_element(), text);
  }
}

TEST(CamtTree, LeavesTheChildrenOfOpaqueChildrenUnread) {
  pugi::xml_document document;
  ASSERT_TRUE(document.load_string("<Stmt><Id>1</Id><Ntry><Amt>2</Amt></Ntry><X><Ntry><Amt>3</Amt></Ntry></X></Stmt>",
                                   kParseOptions));
  Tree tree;
  tree.read(document.document_element(), "Ntry");
  const Element statement = root_of(tree);
  const Element entry = statement.child("Ntry");
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry.has_children());
  EXPECT_FALSE(entry.first_element());
  // Only the root's own children are opaque.
  EXPECT_EQ(statement.at({"X", "Ntry", "Amt"}).text(), "3");
  // The entry read as a tree of its own.
  Tree inner;
  inner.read(entry.node());
  EXPECT_EQ(root_of(inner).child("Amt").text(), "2");
}

TEST(CamtTree, StopsReadingBelowItsDepth) {
  std::string text;
  for (unsigned i = 0; i <= Tree::kDepth + 2; ++i) text += "<e>";
  text += "x";
  for (unsigned i = 0; i <= Tree::kDepth + 2; ++i) text += "</e>";
  pugi::xml_document document;
  ASSERT_TRUE(document.load_string(text.c_str(), kParseOptions));
  Tree tree;
  tree.read(document.document_element());
  Element e = root_of(tree);
  for (unsigned level = 0; level < Tree::kDepth; ++level) e = e.first_element();
  ASSERT_TRUE(e);
  EXPECT_TRUE(e.has_children());
  EXPECT_FALSE(e.first_element());
  // The deepest walk over details never needs more.
  static_assert(3 + DetailWrites::kMaxDepth + 1 <= Tree::kDepth);
}

// Texts that differ at every place a word-wise compare splits them: sizes around 4, 8
// and 16, bytes above 0x7F (unsigned order), equal prefixes of different lengths.
std::vector<std::string> tricky_texts() {
  std::vector<std::string> texts = {"", "a", "b", "\x7F", "\x80", "\xFF", "ab", "a\xFF"};
  for (std::size_t size = 1; size <= 33; ++size) {
    const std::string base(size, 'k');
    texts.push_back(base);
    for (std::size_t at : {std::size_t{0}, size / 2, size - 1}) {
      for (char c : {'j', 'l', '\x80', '\xFE'}) {
        std::string changed = base;
        changed[at] = c;
        texts.push_back(changed);
      }
    }
  }
  return texts;
}

TEST(CamtBytes, CompareAsTheLibraryDoes) {
  const std::vector<std::string> texts = tricky_texts();
  for (const std::string& a : texts) {
    for (const std::string& b : texts) {
      EXPECT_EQ(same_text(a, b), std::string_view(a) == std::string_view(b)) << a << " / " << b;
      EXPECT_EQ(less_text(a, b), std::string_view(a) < std::string_view(b)) << a << " / " << b;
    }
  }
}

TEST(CamtBytes, CopyAndAppendAsTheLibraryDoes) {
  Bytes bytes;
  std::string expected;
  for (const std::string& text : tricky_texts()) {
    std::string copied(text.size(), '\0');
    copy_bytes(copied.data(), text.data(), text.size());
    EXPECT_EQ(copied, text);
    bytes.append(text);
    expected += text;
    // A part of the run itself, appended while the run grows.
    const std::string_view own = bytes.view().substr(bytes.size() / 3, text.size());
    expected += std::string(own);
    bytes.append(own);
    ASSERT_EQ(bytes.view(), expected);
  }
}

// A payment's details as the reading joins them in place, and as a copy of its own
// merged into the entry's: the same map. The entries repeat keys of the payment's, the
// payments repeat keys of their own, and have keys the derived fields take.
const char* const kEntries[] = {
    "<Ntry><Amt>1</Amt><Sts>BOOK</Sts><NtryDtls><TxDtls><Amt>1</Amt><Sts>x</Sts><Refs><EndToEndId>E</EndToEndId>"
    "</Refs><RmtInf><Ustrd>a</Ustrd><Ustrd>b</Ustrd></RmtInf></TxDtls></NtryDtls></Ntry>",
    "<Ntry><Amt>1</Amt><Refs><MndtId>M</MndtId></Refs><NtryDtls><TxDtls><Refs><MndtId>N</MndtId><MndtId>O</MndtId>"
    "</Refs><RltdPties><Dbtr><Pty><Nm>P</Nm><PstlAdr><TwnNm>T</TwnNm><AdrLine>1</AdrLine><AdrLine>2</AdrLine>"
    "</PstlAdr></Pty></Dbtr><Cdtr><Id><PrvtId><Othr><Id>C</Id><SchmeNm><Cd>SEPA</Cd></SchmeNm></Othr></PrvtId></Id>"
    "</Cdtr></RltdPties></TxDtls></NtryDtls></Ntry>",
    "<Ntry><REMI>r</REMI><EREF>e</EREF><NtryDtls><TxDtls><Refs><EndToEndId>E</EndToEndId></Refs><RmtInf><Strd>"
    "<CdtrRefInf><Ref>RF1</Ref><Tp><Issr>ISO</Issr></Tp></CdtrRefInf></Strd></RmtInf><X>1</X><Y>2</Y><X>3</X>"
    "</TxDtls></NtryDtls></Ntry>",
    "<Ntry><A>1</A><NtryDtls><TxDtls><A>2</A><A>3</A><B c=\"4\">5</B><B>6</B><B>7</B></TxDtls></NtryDtls></Ntry>",
};

std::vector<std::pair<std::string, std::string>> entries_of(const DecodedDetails& map) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& [key, value] : map) entries.emplace_back(key, value);
  return entries;
}

TEST(CamtDetails, APaymentJoinedInPlaceMakesTheMapMergeMakes) {
  for (const char* text : kEntries) {
    SCOPED_TRACE(text);
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(text, kParseOptions));
    Tree tree;
    tree.read(document.document_element());
    const Element entry = root_of(tree);
    const Element payment = entry.at({"NtryDtls", "TxDtls"});
    for (const bool credit : {true, false}) {
      DetailWrites merged;
      merged.flatten(entry, "", {"NtryDtls"});
      DetailWrites copy;
      copy.flatten(payment, "");
      derive_payment_keys(copy, credit);
      copy.drop_if("Amt", "1");
      merged.merge(copy, "TxDtls/");

      DetailWrites joined;
      joined.flatten(entry, "", {"NtryDtls"});
      joined.begin_section();
      joined.flatten(payment, "");
      derive_payment_keys(joined, credit);
      joined.drop_if("Amt", "1");
      EXPECT_EQ(joined.find("EREF"), copy.find("EREF"));
      EXPECT_EQ(joined.find("Amt"), copy.find("Amt"));
      joined.end_section("TxDtls/");

      TextBuffer texts;
      EXPECT_EQ(entries_of(joined.finish(texts)), entries_of(merged.finish(texts)));
    }
  }
}

}  // namespace
}  // namespace tallyfold::camt

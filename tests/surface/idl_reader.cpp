#include "surface/idl_reader.h"

#include <cctype>
#include <stdexcept>

namespace idl {

bool Attrs::Has(const std::string &name) const {
    for (const auto &a : list)
        if (a.name == name) return true;
    return false;
}

std::string Attrs::Arg(const std::string &name) const {
    for (const auto &a : list)
        if (a.name == name) return a.arg;
    return {};
}

std::int64_t Number(const std::string &text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && text[i] == '-') negative = true, ++i;
    int base = 10;
    if (text.size() > i + 1 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) base = 16, i += 2;
    if (i >= text.size()) throw std::runtime_error("not a number: " + text);
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        int c = std::tolower(static_cast<unsigned char>(text[i])), d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            throw std::runtime_error("not a number: " + text);
        v = v * base + d;
    }
    return negative ? -v : v;
}

namespace {

struct Token {
    enum Kind { Word, String, Punct } kind;
    std::string text;
    int line;
};

std::vector<Token> Lex(const std::string &s) {
    std::vector<Token> out;
    int line = 1;
    for (std::size_t i = 0; i < s.size();) {
        char c = s[i];
        if (c == '\n') {
            ++line, ++i;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
            while (i < s.size() && s[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            std::size_t end = s.find("*/", i + 2);
            if (end == std::string::npos) throw std::runtime_error("unterminated comment");
            for (; i < end + 2; ++i) line += s[i] == '\n';
        } else if (c == '"') {
            std::string text;
            for (++i; i < s.size() && s[i] != '"'; ++i) {
                if (s[i] == '\\' && i + 1 < s.size()) ++i;
                text += s[i];
            }
            if (i >= s.size()) throw std::runtime_error("unterminated string on line " + std::to_string(line));
            ++i;
            out.push_back({Token::String, text, line});
        } else if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-') {
            std::size_t start = i;
            while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' || s[i] == '-' ||
                                    s[i] == '.'))
                ++i;
            out.push_back({Token::Word, s.substr(start, i - start), line});
        } else {
            out.push_back({Token::Punct, std::string(1, c), line});
            ++i;
        }
    }
    return out;
}

class Parser {
public:
    explicit Parser(std::vector<Token> t) : t_(std::move(t)) {}

    Library ParseFile() {
        Library lib;
        while (Peek("import")) {
            Next();
            lib.imports.push_back(Take(Token::String));
            Expect(";");
        }
        lib.attrs = ParseAttrs();
        Expect("library");
        lib.name = Take(Token::Word);
        Expect("{");
        while (!Peek("}")) ParseLibraryItem(lib);
        Expect("}");
        Expect(";");
        if (pos_ != t_.size()) Fail("text after the library");
        return lib;
    }

private:
    void ParseLibraryItem(Library &lib) {
        if (Peek("importlib")) {
            Next();
            Expect("(");
            lib.importlibs.push_back(Take(Token::String));
            Expect(")");
            Expect(";");
            return;
        }
        if (Peek("typedef")) {
            Next();
            Attrs attrs = ParseAttrs();
            if (Peek("enum")) {
                Next();
                Enum e;
                e.attrs = attrs;
                if (!Peek("{")) e.tag = Take(Token::Word);
                Expect("{");
                while (!Peek("}")) {
                    EnumConst c;
                    c.name = Take(Token::Word);
                    Expect("=");
                    c.value = Number(Take(Token::Word));
                    e.constants.push_back(c);
                    if (!Peek("}")) Expect(",");
                }
                Expect("}");
                e.name = Take(Token::Word);
                Expect(";");
                lib.enums.push_back(e);
            } else {
                Alias a;
                a.attrs = attrs;
                a.type = Take(Token::Word);
                a.name = Take(Token::Word);
                Expect(";");
                lib.aliases.push_back(a);
            }
            return;
        }
        Attrs attrs = ParseAttrs();
        if (Peek("interface")) {
            Next();
            std::string name = Take(Token::Word);
            if (Peek(";")) {
                Next();
                if (!attrs.list.empty()) Fail("attributes on a forward declaration");
                lib.forwards.push_back(name);
                return;
            }
            Interface itf;
            itf.attrs = attrs;
            itf.name = name;
            Expect(":");
            itf.base = Take(Token::Word);
            Expect("{");
            while (!Peek("}")) itf.methods.push_back(ParseMethod());
            Expect("}");
            Expect(";");
            lib.interfaces.push_back(itf);
            return;
        }
        if (Peek("coclass")) {
            Next();
            Coclass c;
            c.attrs = attrs;
            c.name = Take(Token::Word);
            Expect("{");
            while (!Peek("}")) {
                Attrs ia = ParseAttrs();
                Expect("interface");
                c.interfaces.emplace_back(ia, Take(Token::Word));
                Expect(";");
            }
            Expect("}");
            Expect(";");
            lib.coclasses.push_back(c);
            return;
        }
        Fail("unexpected '" + Cur().text + "'");
    }

    Method ParseMethod() {
        Method m;
        m.attrs = ParseAttrs();
        m.result = Take(Token::Word);
        m.name = Take(Token::Word);
        Expect("(");
        while (!Peek(")")) {
            Param p;
            p.attrs = ParseAttrs();
            std::vector<Token> toks;
            int depth = 0;
            while (depth > 0 || (!Peek(",") && !Peek(")"))) {
                if (Peek("(")) ++depth;
                if (Peek(")")) --depth;
                toks.push_back(Next());
            }
            if (toks.empty()) Fail("parameter without a type");
            // A trailing word after a complete type is the name.
            if (toks.size() >= 2 && toks.back().kind == Token::Word && toks[toks.size() - 2].text != "(" &&
                !(toks.size() == 2 && toks[0].text == "unsigned")) {
                p.name = toks.back().text;
                toks.pop_back();
            }
            for (std::size_t i = 0; i < toks.size(); ++i) {
                if (i > 0 && toks[i].kind == Token::Word && toks[i - 1].kind == Token::Word) p.type += ' ';
                p.type += toks[i].text;
            }
            m.params.push_back(p);
            if (!Peek(")")) Expect(",");
        }
        Expect(")");
        Expect(";");
        return m;
    }

    Attrs ParseAttrs() {
        Attrs attrs;
        if (!Peek("[")) return attrs;
        Next();
        while (!Peek("]")) {
            Attr a;
            a.name = Take(Token::Word);
            if (Peek("(")) {
                Next();
                a.has_arg = true;
                a.arg = Next().text;
                Expect(")");
            }
            attrs.list.push_back(a);
            if (!Peek("]")) Expect(",");
        }
        Next();
        return attrs;
    }

    const Token &Cur() {
        if (pos_ >= t_.size()) throw std::runtime_error("unexpected end of the IDL");
        return t_[pos_];
    }
    bool Peek(const char *text) { return pos_ < t_.size() && t_[pos_].kind != Token::String && t_[pos_].text == text; }
    Token Next() {
        Token t = Cur();
        ++pos_;
        return t;
    }
    std::string Take(Token::Kind kind) {
        if (Cur().kind != kind) Fail("unexpected '" + Cur().text + "'");
        return Next().text;
    }
    void Expect(const char *text) {
        if (!Peek(text)) Fail(std::string("expected '") + text + "'");
        ++pos_;
    }
    [[noreturn]] void Fail(const std::string &what) {
        int line = pos_ < t_.size() ? t_[pos_].line : (t_.empty() ? 0 : t_.back().line);
        throw std::runtime_error("IDL line " + std::to_string(line) + ": " + what);
    }

    std::vector<Token> t_;
    std::size_t pos_ = 0;
};

}  // namespace

Library Parse(const std::string &text) { return Parser(Lex(text)).ParseFile(); }

}  // namespace idl

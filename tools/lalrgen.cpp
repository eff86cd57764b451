// lalrgen: builds the LALR(1) parse tables of a grammar file and writes them,
// with the reduction code, as C++ sources.
//
//   lalrgen GRAMMAR OUTDIR
//
// writes OUTDIR/parse.h (the terminal codes as TK_ macros), OUTDIR/parse_gen.h
// (table sizes, the value union, declarations) and OUTDIR/parse_gen.cpp
// (packed tables, symbol and rule names, reduction and destructor code).
//
// Grammar file syntax:
//   %name NAME                     name of the parser (informational)
//   %token_type {TYPE}             value type of every terminal
//   %extra_argument {DECL}         the argument passed along to every action
//   %include {CODE}                copied to the top of parse_gen.cpp
//   %header {CODE}                 copied into parse_gen.h before the value union
//   %tokens A B C .                the terminals, numbered 1, 2, 3 ... ($ is 0)
//   %fallback ID A B .             A and B are taken as ID where they have no action
//   %left A B . %right ... %nonassoc ...   precedence, loosest first
//   %type nt {TYPE}                value type of a nonterminal
//   %destructor nt {CODE}          frees a value discarded without reduction ($$)
//   lhs(A) ::= X(B) Y . [PREC] { CODE }
// Terminals are upper case, nonterminals lower case; the first rule's
// left-hand side is the start symbol.  Shift/reduce conflicts are resolved by
// precedence; a conflict precedence cannot resolve is an error, and so is a
// rule that can never be reduced.
#include <algorithm>
#include <bitset>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kMaxSym = 256;  // lookahead symbols are stored in one byte
using SymSet = std::bitset<kMaxSym>;

enum Assoc { kNone, kLeft, kRight, kNonassoc };

struct Symbol {
  std::string name;
  bool terminal = false;
  int prec = -1;
  Assoc assoc = kNone;
  int fallback = 0;
  std::string type;        // value type (nonterminals)
  std::string destructor;  // code with $$
  int unionIdx = 0;        // member of the value union
  bool nullable = false;
  SymSet first;
};

struct Rule {
  int lhs = -1;
  std::string lhsAlias;
  std::vector<int> rhs;
  std::vector<std::string> rhsAlias;
  std::string code;
  int codeLine = 0;
  int precSym = -1;
  int line = 0;
  int index = 0;
};

[[noreturn]] void die(const std::string &msg) {
  fprintf(stderr, "lalrgen: %s\n", msg.c_str());
  exit(1);
}

// ------------------------------------------------------------------ reading the grammar

struct Lexer {
  std::string text;
  size_t pos = 0;
  int line = 1;
  std::string file;

  [[noreturn]] void fail(const std::string &msg) {
    die(file + ":" + std::to_string(line) + ": " + msg);
  }
  void skip() {
    for (;;) {
      while (pos < text.size() && isspace((unsigned char)text[pos])) {
        if (text[pos] == '\n') line++;
        pos++;
      }
      if (text.compare(pos, 2, "//") == 0) {
        while (pos < text.size() && text[pos] != '\n') pos++;
      } else if (text.compare(pos, 2, "/*") == 0) {
        size_t e = text.find("*/", pos + 2);
        if (e == std::string::npos) fail("unterminated comment");
        for (size_t i = pos; i < e; i++) line += text[i] == '\n';
        pos = e + 2;
      } else {
        return;
      }
    }
  }
  bool atEnd() {
    skip();
    return pos >= text.size();
  }
  char peek() {
    skip();
    return pos < text.size() ? text[pos] : 0;
  }
  bool accept(const char *s) {
    skip();
    size_t n = strlen(s);
    if (text.compare(pos, n, s) == 0) {
      pos += n;
      return true;
    }
    return false;
  }
  void expect(const char *s) {
    if (!accept(s)) fail(std::string("expected \"") + s + "\"");
  }
  std::string ident() {
    skip();
    size_t b = pos;
    if (pos < text.size() &&
        (isalpha((unsigned char)text[pos]) || text[pos] == '_' || text[pos] == '%')) {
      pos++;
      while (pos < text.size() && (isalnum((unsigned char)text[pos]) || text[pos] == '_')) pos++;
    }
    if (b == pos) fail("expected a name");
    return text.substr(b, pos - b);
  }
  // A brace-enclosed block of C++; returns the text inside the braces.
  std::string code(int *pLine) {
    skip();
    if (pos >= text.size() || text[pos] != '{') fail("expected {");
    *pLine = line;
    int depth = 0;
    size_t b = pos + 1;
    while (pos < text.size()) {
      char c = text[pos];
      if (c == '\n') line++;
      if (c == '"' || c == '\'') {
        pos++;
        while (pos < text.size() && text[pos] != c) {
          if (text[pos] == '\\') pos++;
          if (text[pos] == '\n') line++;
          pos++;
        }
      } else if (text.compare(pos, 2, "//") == 0) {
        while (pos < text.size() && text[pos] != '\n') pos++;
        continue;
      } else if (text.compare(pos, 2, "/*") == 0) {
        size_t e = text.find("*/", pos + 2);
        if (e == std::string::npos) fail("unterminated comment in code");
        for (size_t i = pos; i < e; i++) line += text[i] == '\n';
        pos = e + 1;
      } else if (c == '{') {
        depth++;
      } else if (c == '}') {
        if (--depth == 0) {
          pos++;
          return text.substr(b, pos - 1 - b);
        }
      }
      pos++;
    }
    fail("unterminated code block");
  }
};

struct Grammar {
  std::vector<Symbol> syms;  // $ and terminals, error, nonterminals
  std::map<std::string, int> byName;
  std::vector<Rule> rules;
  int nTerminal = 0;  // including $
  int errorSym = -1;
  std::string tokenType = "int", extraArg, include, header, name = "Parse";
  std::vector<std::string> unionTypes;  // member i is yy<i>; 0 is the token type

  int find(const std::string &n) const {
    auto it = byName.find(n);
    return it == byName.end() ? -1 : it->second;
  }
  int nonterminal(const std::string &n, Lexer &lx) {
    int i = find(n);
    if (i >= 0) return i;
    if (isupper((unsigned char)n[0])) lx.fail("undeclared terminal " + n);
    Symbol s;
    s.name = n;
    syms.push_back(s);
    byName[n] = (int)syms.size() - 1;
    return (int)syms.size() - 1;
  }
};

void readGrammar(Grammar &g, Lexer &lx) {
  Symbol end;
  end.name = "$";
  end.terminal = true;
  g.syms.push_back(end);
  g.byName["$"] = 0;
  int precLevel = 0;
  bool tokensSeen = false;
  std::map<std::string, std::string> types, destructors;
  while (!lx.atEnd()) {
    if (lx.peek() == '%') {
      std::string d = lx.ident();
      int ln;
      if (d == "%name") {
        g.name = lx.ident();
      } else if (d == "%token_type") {
        g.tokenType = lx.code(&ln);
      } else if (d == "%extra_argument") {
        g.extraArg = lx.code(&ln);
      } else if (d == "%include") {
        g.include += lx.code(&ln);
      } else if (d == "%header") {
        g.header += lx.code(&ln);
      } else if (d == "%tokens") {
        if (tokensSeen) lx.fail("%tokens given twice");
        tokensSeen = true;
        while (!lx.accept(".")) {
          std::string n = lx.ident();
          if (!isupper((unsigned char)n[0]) || g.find(n) >= 0) lx.fail("bad terminal " + n);
          Symbol s;
          s.name = n;
          s.terminal = true;
          g.syms.push_back(s);
          g.byName[n] = (int)g.syms.size() - 1;
        }
        g.nTerminal = (int)g.syms.size();
        Symbol err;
        err.name = "error";
        g.syms.push_back(err);
        g.errorSym = (int)g.syms.size() - 1;
        g.byName["error"] = g.errorSym;
      } else if (d == "%fallback") {
        int to = g.find(lx.ident());
        if (to <= 0 || !g.syms[to].terminal) lx.fail("%fallback needs a terminal");
        while (!lx.accept(".")) {
          int from = g.find(lx.ident());
          if (from <= 0 || !g.syms[from].terminal) lx.fail("%fallback of a non-terminal");
          if (g.syms[from].fallback) lx.fail("second fallback for " + g.syms[from].name);
          g.syms[from].fallback = to;
        }
      } else if (d == "%left" || d == "%right" || d == "%nonassoc") {
        precLevel++;
        Assoc a = d == "%left" ? kLeft : d == "%right" ? kRight : kNonassoc;
        while (!lx.accept(".")) {
          int s = g.find(lx.ident());
          if (s <= 0 || !g.syms[s].terminal) lx.fail("precedence for a non-terminal");
          if (g.syms[s].prec >= 0) lx.fail("precedence given twice for " + g.syms[s].name);
          g.syms[s].prec = precLevel;
          g.syms[s].assoc = a;
        }
      } else if (d == "%type") {
        std::string n = lx.ident();
        types[n] = lx.code(&ln);
      } else if (d == "%destructor") {
        std::string n = lx.ident();
        destructors[n] = lx.code(&ln);
      } else {
        lx.fail("unknown directive " + d);
      }
      continue;
    }
    if (!tokensSeen) lx.fail("%tokens must come before the rules");
    Rule r;
    r.line = lx.line;
    r.lhs = g.nonterminal(lx.ident(), lx);
    if (g.syms[r.lhs].terminal) lx.fail("a terminal on the left of a rule");
    if (lx.accept("(")) {
      r.lhsAlias = lx.ident();
      lx.expect(")");
    }
    lx.expect("::=");
    while (!lx.accept(".")) {
      std::string n = lx.ident();
      int s = isupper((unsigned char)n[0]) ? g.find(n) : g.nonterminal(n, lx);
      if (s < 0) lx.fail("undeclared terminal " + n);
      if (s == 0) lx.fail("$ in a rule");
      r.rhs.push_back(s);
      std::string alias;
      if (lx.accept("(")) {
        alias = lx.ident();
        lx.expect(")");
      }
      r.rhsAlias.push_back(alias);
    }
    if (lx.accept("[")) {
      int s = g.find(lx.ident());
      if (s <= 0 || !g.syms[s].terminal || g.syms[s].prec < 0) lx.fail("bad precedence mark");
      r.precSym = s;
      lx.expect("]");
    }
    if (lx.peek() == '{') r.code = lx.code(&r.codeLine);
    r.index = (int)g.rules.size();
    g.rules.push_back(r);
  }
  if (g.rules.empty()) die("no rules");
  for (auto &[n, t] : types) {
    int s = g.find(n);
    if (s < 0 || g.syms[s].terminal) die("%type for unknown nonterminal " + n);
    g.syms[s].type = t;
  }
  for (auto &[n, c] : destructors) {
    int s = g.find(n);
    if (s < 0 || g.syms[s].terminal) die("%destructor for unknown nonterminal " + n);
    g.syms[s].destructor = c;
  }
  // The value union: member 0 is the token type, then one per distinct type.
  g.unionTypes.push_back(g.tokenType);
  for (auto &s : g.syms) {
    if (s.terminal || s.type.empty()) continue;
    auto it = std::find(g.unionTypes.begin(), g.unionTypes.end(), s.type);
    s.unionIdx = (int)(it - g.unionTypes.begin());
    if (it == g.unionTypes.end()) g.unionTypes.push_back(s.type);
  }
  // Every nonterminal must have a rule.
  std::vector<bool> hasRule(g.syms.size());
  for (auto &r : g.rules) hasRule[r.lhs] = true;
  for (size_t i = g.nTerminal + 1; i < g.syms.size(); i++) {
    if (!hasRule[i]) die("nonterminal " + g.syms[i].name + " has no rule");
  }
  if (g.syms.size() > kMaxSym) die("too many symbols");
  // Rule precedence: the mark, else the first terminal with a precedence.
  for (auto &r : g.rules) {
    if (r.precSym >= 0) continue;
    for (int s : r.rhs) {
      if (g.syms[s].terminal && g.syms[s].prec >= 0) {
        r.precSym = s;
        break;
      }
    }
  }
}

// ------------------------------------------------------------------ FIRST sets

void computeFirst(Grammar &g) {
  for (size_t i = 0; i < g.syms.size(); i++) {
    if (g.syms[i].terminal) g.syms[i].first.set(i);
  }
  for (bool changed = true; changed;) {
    changed = false;
    for (auto &r : g.rules) {
      Symbol &L = g.syms[r.lhs];
      bool allNullable = true;
      for (int s : r.rhs) {
        SymSet before = L.first;
        L.first |= g.syms[s].first;
        if (L.first != before) changed = true;
        if (!g.syms[s].nullable) {
          allNullable = false;
          break;
        }
      }
      if (allNullable && !L.nullable) {
        L.nullable = true;
        changed = true;
      }
    }
  }
}

// ------------------------------------------------------------------ the LR(0) automaton

struct Item {
  int rule, dot;
  bool operator<(const Item &o) const { return rule != o.rule ? rule < o.rule : dot < o.dot; }
  bool operator==(const Item &o) const { return rule == o.rule && dot == o.dot; }
};

struct State {
  std::vector<Item> items;  // kernel first, then closure
  size_t nKernel = 0;
  std::map<int, int> go;  // symbol -> state
  std::vector<SymSet> la;
};

struct Automaton {
  std::vector<State> states;
  std::vector<Rule> rules;  // the grammar's, plus the start rule at the end
  int startRule = 0;
};

const std::vector<int> &rhsOf(const Automaton &a, int rule) { return a.rules[rule].rhs; }

void closure(const Grammar &g, const Automaton &a, State &st) {
  std::vector<bool> added(g.syms.size());
  for (size_t i = 0; i < st.items.size(); i++) {
    const Item it = st.items[i];
    const auto &rhs = rhsOf(a, it.rule);
    if (it.dot >= (int)rhs.size()) continue;
    int B = rhs[it.dot];
    if (g.syms[B].terminal || added[B]) continue;
    added[B] = true;
    for (size_t r = 0; r < g.rules.size(); r++) {
      if (g.rules[r].lhs != B) continue;
      Item n{(int)r, 0};
      if (std::find(st.items.begin(), st.items.end(), n) == st.items.end()) st.items.push_back(n);
    }
  }
}

void buildStates(const Grammar &g, Automaton &a) {
  a.rules = g.rules;
  Rule start;
  start.lhs = -1;
  start.rhs = {g.rules[0].lhs};
  start.rhsAlias = {""};
  start.index = (int)a.rules.size();
  a.startRule = start.index;
  a.rules.push_back(start);
  std::map<std::vector<Item>, int> byKernel;
  State s0;
  s0.items = {Item{a.startRule, 0}};
  s0.nKernel = 1;
  byKernel[s0.items] = 0;
  closure(g, a, s0);
  a.states.push_back(s0);
  for (size_t si = 0; si < a.states.size(); si++) {
    std::map<int, std::vector<Item>> next;
    for (const Item &it : a.states[si].items) {
      const auto &rhs = rhsOf(a, it.rule);
      if (it.dot < (int)rhs.size()) next[rhs[it.dot]].push_back(Item{it.rule, it.dot + 1});
    }
    for (auto &[sym, kernel] : next) {
      std::sort(kernel.begin(), kernel.end());
      auto f = byKernel.find(kernel);
      int target;
      if (f == byKernel.end()) {
        State ns;
        ns.items = kernel;
        ns.nKernel = kernel.size();
        closure(g, a, ns);
        target = (int)a.states.size();
        byKernel[kernel] = target;
        a.states.push_back(ns);
      } else {
        target = f->second;
      }
      a.states[si].go[sym] = target;
    }
  }
}

// LALR(1) lookaheads by propagation over the LR(0) states until nothing changes.
void computeLookaheads(const Grammar &g, Automaton &a) {
  struct Link {
    int state, item;
  };
  struct ItemInfo {
    SymSet spont;                // FIRST of what follows the nonterminal after the dot
    bool passes = false;         // that rest is nullable
    std::vector<int> closureTo;  // items of the same state it generates
    Link succ{-1, -1};           // the item after the dot moves
  };
  std::vector<std::vector<ItemInfo>> info(a.states.size());
  for (size_t s = 0; s < a.states.size(); s++) {
    State &st = a.states[s];
    st.la.assign(st.items.size(), SymSet());
    info[s].resize(st.items.size());
    for (size_t i = 0; i < st.items.size(); i++) {
      const Item it = st.items[i];
      const auto &rhs = rhsOf(a, it.rule);
      if (it.dot >= (int)rhs.size()) continue;
      ItemInfo &inf = info[s][i];
      int X = rhs[it.dot];
      int t = st.go.at(X);
      const State &ts = a.states[t];
      Item moved{it.rule, it.dot + 1};
      auto f = std::lower_bound(ts.items.begin(), ts.items.begin() + ts.nKernel, moved);
      inf.succ = Link{t, (int)(f - ts.items.begin())};
      if (g.syms[X].terminal) continue;
      inf.passes = true;
      for (size_t k = it.dot + 1; k < rhs.size(); k++) {
        inf.spont |= g.syms[rhs[k]].first;
        if (!g.syms[rhs[k]].nullable) {
          inf.passes = false;
          break;
        }
      }
      for (size_t j = 0; j < st.items.size(); j++) {
        if (st.items[j].dot == 0 && a.rules[st.items[j].rule].lhs == X)
          inf.closureTo.push_back((int)j);
      }
    }
  }
  a.states[0].la[0].set(0);  // the start item sees the end of input
  std::vector<bool> dirty(a.states.size(), false);
  std::vector<int> work = {0};
  dirty[0] = true;
  while (!work.empty()) {
    int s = work.back();
    work.pop_back();
    dirty[s] = false;
    State &st = a.states[s];
    for (bool changed = true; changed;) {
      changed = false;
      for (size_t i = 0; i < st.items.size(); i++) {
        const ItemInfo &inf = info[s][i];
        if (inf.closureTo.empty()) continue;
        SymSet f = inf.spont;
        if (inf.passes) f |= st.la[i];
        for (int j : inf.closureTo) {
          SymSet before = st.la[j];
          st.la[j] |= f;
          if (st.la[j] != before) changed = true;
        }
      }
    }
    for (size_t i = 0; i < st.items.size(); i++) {
      const Link &l = info[s][i].succ;
      if (l.state < 0) continue;
      SymSet &to = a.states[l.state].la[l.item];
      SymSet before = to;
      to |= st.la[i];
      if (to != before && !dirty[l.state]) {
        dirty[l.state] = true;
        work.push_back(l.state);
      }
    }
  }
}

// ------------------------------------------------------------------ actions

enum ActKind { kShift, kReduce, kAccept, kError };
struct Action {
  ActKind kind;
  int arg;  // state or rule
};

struct Tables {
  std::vector<std::map<int, Action>> term;  // per state: terminal -> action
  std::vector<std::map<int, int>> nonterm;  // per state: nonterminal -> state
  std::vector<Action> dflt;
  int resolved = 0, unresolved = 0;
};

std::string itemText(const Grammar &g, const Automaton &a, const Item &it) {
  const Rule &r = a.rules[it.rule];
  std::string s = r.lhs < 0 ? "$start" : g.syms[r.lhs].name;
  s += " ::=";
  for (size_t k = 0; k <= r.rhs.size(); k++) {
    if ((int)k == it.dot) s += " .";
    if (k < r.rhs.size()) s += " " + g.syms[r.rhs[k]].name;
  }
  return s;
}

void reportConflict(const Grammar &g, const Automaton &a, int s, int t, const std::string &what) {
  fprintf(stderr, "lalrgen: %s conflict in state %d on %s:\n", what.c_str(), s,
          g.syms[t].name.c_str());
  for (const Item &it : a.states[s].items) {
    fprintf(stderr, "    %s\n", itemText(g, a, it).c_str());
  }
}

Tables buildActions(const Grammar &g, const Automaton &a) {
  Tables t;
  size_t n = a.states.size();
  t.term.resize(n);
  t.nonterm.resize(n);
  t.dflt.resize(n);
  for (size_t s = 0; s < n; s++) {
    const State &st = a.states[s];
    std::map<int, std::vector<Action>> cand;
    for (auto &[sym, to] : st.go) {
      if (g.syms[sym].terminal) {
        cand[sym].push_back({kShift, to});
      } else {
        t.nonterm[s][sym] = to;
      }
    }
    for (size_t i = 0; i < st.items.size(); i++) {
      const Item &it = st.items[i];
      if (it.dot != (int)rhsOf(a, it.rule).size()) continue;
      for (int sym = 0; sym < g.nTerminal; sym++) {
        if (!st.la[i].test(sym)) continue;
        if (it.rule == a.startRule) {
          cand[sym].push_back({kAccept, 0});
        } else {
          cand[sym].push_back({kReduce, it.rule});
        }
      }
    }
    for (auto &[sym, acts] : cand) {
      Action chosen = acts[0];
      if (acts.size() > 1) {
        std::vector<Action> reduces;
        bool hasShift = false;
        Action shift{};
        for (auto &x : acts) {
          if (x.kind == kShift) {
            hasShift = true;
            shift = x;
          } else {
            reduces.push_back(x);
          }
        }
        // Two reductions: the rule of higher precedence wins.
        std::sort(reduces.begin(), reduces.end(),
                  [](const Action &x, const Action &y) { return x.arg < y.arg; });
        for (size_t k = 1; k < reduces.size(); k++) {
          auto precOf = [&](const Action &x) {
            int ps = x.kind == kReduce ? a.rules[x.arg].precSym : -1;
            return ps < 0 ? -1 : g.syms[ps].prec;
          };
          int p0 = precOf(reduces[0]), pk = precOf(reduces[k]);
          if (p0 < 0 || pk < 0 || p0 == pk) {
            reportConflict(g, a, (int)s, sym, "reduce/reduce");
            t.unresolved++;
          } else {
            t.resolved++;
            if (pk > p0) reduces[0] = reduces[k];
          }
        }
        chosen = reduces.empty() ? shift : reduces[0];
        if (hasShift && !reduces.empty()) {
          const Symbol &tok = g.syms[sym];
          int rp = reduces[0].kind == kReduce ? a.rules[reduces[0].arg].precSym : -1;
          if (tok.prec < 0 || rp < 0) {
            reportConflict(g, a, (int)s, sym, "shift/reduce");
            t.unresolved++;
            chosen = shift;
          } else {
            int pr = g.syms[rp].prec;
            t.resolved++;
            if (tok.prec > pr) {
              chosen = shift;
            } else if (tok.prec < pr) {
              chosen = reduces[0];
            } else if (tok.assoc == kLeft) {
              chosen = reduces[0];
            } else if (tok.assoc == kRight) {
              chosen = shift;
            } else {
              chosen = {kError, 0};
            }
          }
        }
      }
      t.term[s][sym] = chosen;
    }
    // The most frequent reduction becomes the state's default action.
    std::map<int, int> freq;
    for (auto &[sym, x] : t.term[s]) {
      if (x.kind == kReduce) freq[x.arg]++;
    }
    t.dflt[s] = {kError, 0};
    int best = -1, bestN = 0;
    for (auto &[rule, cnt] : freq) {
      if (cnt > bestN) {
        best = rule;
        bestN = cnt;
      }
    }
    if (best >= 0) {
      t.dflt[s] = {kReduce, best};
      for (auto it = t.term[s].begin(); it != t.term[s].end();) {
        if (it->second.kind == kReduce && it->second.arg == best) {
          it = t.term[s].erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  return t;
}

// ------------------------------------------------------------------ packing

struct Packed {
  std::vector<int> action, lookahead;  // lookahead -1: free slot
  std::vector<int> shiftOfst, reduceOfst;
  int shiftDflt = 0, reduceDflt = 0;
};

// Places a row so that every entry lands in a free slot and no foreign entry
// looks like one of this row's (the look-up trusts the lookahead byte).
int placeRow(Packed &p, const std::vector<std::pair<int, int>> &row, int symLo, int symHi,
             std::map<std::vector<std::pair<int, int>>, int> &seen) {
  auto f = seen.find(row);
  if (f != seen.end()) return f->second;
  int minSym = row.front().first;
  for (int off = -minSym;; off++) {
    bool ok = true;
    for (auto &[sym, act] : row) {
      int k = off + sym;
      if (k < (int)p.lookahead.size() && p.lookahead[k] >= 0) {
        ok = false;
        break;
      }
    }
    if (!ok) continue;
    for (int sym = symLo; sym < symHi && ok; sym++) {
      int k = off + sym;
      if (k >= 0 && k < (int)p.lookahead.size() && p.lookahead[k] == sym) ok = false;
    }
    if (!ok) continue;
    for (auto &[sym, act] : row) {
      int k = off + sym;
      if (k >= (int)p.lookahead.size()) {
        p.lookahead.resize(k + 1, -1);
        p.action.resize(k + 1, 0);
      }
      p.lookahead[k] = sym;
      p.action[k] = act;
    }
    seen[row] = off;
    return off;
  }
}

// ------------------------------------------------------------------ output

std::string ruleText(const Grammar &g, const Rule &r) {
  std::string s = g.syms[r.lhs].name + " ::=";
  for (int x : r.rhs) s += " " + g.syms[x].name;
  return s;
}

bool isIdentChar(char c) { return isalnum((unsigned char)c) || c == '_'; }

// Rewrites the aliases of a rule's action into references to the stack.
std::string translateAction(const Grammar &g, const Rule &r) {
  const std::string &c = r.code;
  std::string out;
  std::vector<bool> used(r.rhs.size());
  bool lhsUsed = false;
  int n = (int)r.rhs.size();
  for (size_t i = 0; i < c.size();) {
    char ch = c[i];
    if (ch == '"' || ch == '\'') {
      size_t j = i + 1;
      while (j < c.size() && c[j] != ch) j += c[j] == '\\' ? 2 : 1;
      out += c.substr(i, j + 1 - i);
      i = j + 1;
      continue;
    }
    if (isIdentChar(ch) && (i == 0 || !isIdentChar(c[i - 1]))) {
      size_t j = i;
      while (j < c.size() && isIdentChar(c[j])) j++;
      std::string w = c.substr(i, j - i);
      bool done = false;
      if (!r.lhsAlias.empty() && w == r.lhsAlias) {
        out += "yylhs->yy" + std::to_string(g.syms[r.lhs].unionIdx);
        lhsUsed = done = true;
      } else {
        for (int k = 0; k < n; k++) {
          if (r.rhsAlias[k] == w) {
            int sym = r.rhs[k];
            int idx = g.syms[sym].terminal ? 0 : g.syms[sym].unionIdx;
            out += "yymsp[" + std::to_string(k - (n - 1)) + "].minor.yy" + std::to_string(idx);
            used[k] = done = true;
            break;
          }
        }
      }
      if (!done) out += w;
      i = j;
      continue;
    }
    out += ch;
    i++;
  }
  std::string where = "rule at line " + std::to_string(r.line);
  if (!r.lhsAlias.empty() && !lhsUsed) die(where + ": alias " + r.lhsAlias + " not used");
  if (!r.lhsAlias.empty() && g.syms[r.lhs].type.empty())
    die(where + ": value of an untyped symbol");
  for (int k = 0; k < n; k++) {
    if (!r.rhsAlias[k].empty() && !used[k]) die(where + ": alias " + r.rhsAlias[k] + " not used");
    if (!r.rhsAlias[k].empty() && !g.syms[r.rhs[k]].terminal && g.syms[r.rhs[k]].type.empty()) {
      die(where + ": value of an untyped symbol " + g.syms[r.rhs[k]].name);
    }
  }
  return out;
}

std::string cString(const std::string &s) {
  std::string o = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') o += '\\';
    o += c;
  }
  return o + "\"";
}

void writeFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) die("cannot write " + path);
}

template <class T>
std::string numbers(const std::vector<T> &v) {
  std::string s;
  for (size_t i = 0; i < v.size(); i++) {
    s += std::to_string(v[i]);
    s += (i + 1) % 16 == 0 ? ",\n  " : ", ";
  }
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) die("usage: lalrgen GRAMMAR OUTDIR");
  Lexer lx;
  lx.file = argv[1];
  {
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) die(std::string("cannot read ") + argv[1]);
    std::stringstream ss;
    ss << in.rdbuf();
    lx.text = ss.str();
  }
  std::string outDir = argv[2];
  Grammar g;
  readGrammar(g, lx);
  computeFirst(g);
  Automaton a;
  buildStates(g, a);
  computeLookaheads(g, a);
  Tables t = buildActions(g, a);
  int nState = (int)a.states.size();
  int nRule = (int)g.rules.size();

  // A rule that no state reduces is dead grammar.
  std::vector<bool> reduced(nRule);
  for (int s = 0; s < nState; s++) {
    for (auto &[sym, x] : t.term[s]) {
      if (x.kind == kReduce) reduced[x.arg] = true;
    }
    if (t.dflt[s].kind == kReduce) reduced[t.dflt[s].arg] = true;
  }
  int dead = 0;
  for (int r = 0; r < nRule; r++) {
    if (!reduced[r]) {
      fprintf(stderr, "lalrgen: rule never reduced: %s\n", ruleText(g, g.rules[r]).c_str());
      dead++;
    }
  }

  const int errAct = nState + nRule, acceptAct = errAct + 1, noAct = errAct + 2;
  auto encode = [&](const Action &x) {
    switch (x.kind) {
      case kShift:
        return x.arg;
      case kReduce:
        return nState + x.arg;
      case kAccept:
        return acceptAct;
      case kError:
        return errAct;
    }
    return errAct;
  };

  // Pack the rows, largest first.
  Packed p;
  p.shiftOfst.assign(nState, 0);
  p.reduceOfst.assign(nState, 0);
  std::vector<int> order(nState);
  for (int s = 0; s < nState; s++) order[s] = s;
  std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
    return t.term[x].size() + t.nonterm[x].size() > t.term[y].size() + t.nonterm[y].size();
  });
  std::map<std::vector<std::pair<int, int>>, int> seenT, seenN;
  std::vector<bool> hasT(nState), hasN(nState);
  int nSym = (int)g.syms.size();
  for (int s : order) {
    std::vector<std::pair<int, int>> row;
    for (auto &[sym, x] : t.term[s]) row.push_back({sym, encode(x)});
    if (!row.empty()) {
      p.shiftOfst[s] = placeRow(p, row, 0, g.nTerminal, seenT);
      hasT[s] = true;
    }
    row.clear();
    for (auto &[sym, to] : t.nonterm[s]) row.push_back({sym, to});
    if (!row.empty()) {
      p.reduceOfst[s] = placeRow(p, row, g.nTerminal + 1, nSym, seenN);
      hasN[s] = true;
    }
  }
  int minS = 0, minR = 0;
  for (int s = 0; s < nState; s++) {
    if (hasT[s]) minS = std::min(minS, p.shiftOfst[s]);
    if (hasN[s]) minR = std::min(minR, p.reduceOfst[s]);
  }
  p.shiftDflt = minS - 1;
  p.reduceDflt = minR - 1;
  for (int s = 0; s < nState; s++) {
    if (!hasT[s]) p.shiftOfst[s] = p.shiftDflt;
    if (!hasN[s]) p.reduceOfst[s] = p.reduceDflt;
  }
  for (auto &l : p.lookahead) {
    if (l < 0) l = nSym;  // free slot: matches no symbol
  }
  if (p.action.empty()) {
    p.action.push_back(errAct);
    p.lookahead.push_back(nSym);
  }
  int noCode = nSym + 1;
  if (noCode > 255 || p.shiftDflt < -32768 || p.reduceDflt < -32768) die("tables too large");

  // ---------------------------------------------------------------- parse.h
  std::string h = "/* Terminal codes of the SQL grammar.  Generated by lalrgen from parse.y. */\n";
  h += "#ifndef TARVIK_PARSE_H\n#define TARVIK_PARSE_H\n\n";
  for (int i = 1; i < g.nTerminal; i++) {
    h += "#define TK_" + g.syms[i].name + " " + std::to_string(i) + "\n";
  }
  h += "\n#endif\n";
  writeFile(outDir + "/parse.h", h);

  // ---------------------------------------------------------------- parse_gen.h
  std::string gh = "/* Parse tables of the SQL grammar.  Generated by lalrgen from parse.y. */\n";
  gh += "#ifndef TARVIK_PARSE_GEN_H\n#define TARVIK_PARSE_GEN_H\n\n#include \"tarvikInt.h\"\n\n";
  gh += g.header + "\n\n";
  auto def = [&](const std::string &n, long v) {
    gh += "#define " + n + " " + std::to_string(v) + "\n";
  };
  def("YYNSTATE", nState);
  def("YYNRULE", nRule);
  def("YYNTERMINAL", g.nTerminal);
  def("YYNSYMBOL", nSym);
  def("YYERRORSYMBOL", g.errorSym);
  def("YYNOCODE", noCode);
  def("YY_ERROR_ACTION", errAct);
  def("YY_ACCEPT_ACTION", acceptAct);
  def("YY_NO_ACTION", noAct);
  def("YY_SZ_ACTTAB", (long)p.action.size());
  def("YY_SHIFT_USE_DFLT", p.shiftDflt);
  def("YY_REDUCE_USE_DFLT", p.reduceDflt);
  gh += "\nunion YYMINORTYPE {\n";
  for (size_t i = 0; i < g.unionTypes.size(); i++) {
    gh += "  " + g.unionTypes[i] + " yy" + std::to_string(i) + ";\n";
  }
  gh += "};\n\nstruct yyStackEntry {\n  int stateno;\n  int major;\n  YYMINORTYPE minor;\n};\n\n";
  gh += "struct yyRuleInfoEntry {\n  unsigned char lhs;\n  unsigned char nrhs;\n};\n\n";
  gh += "extern const unsigned short yy_action[YY_SZ_ACTTAB];\n";
  gh += "extern const unsigned char yy_lookahead[YY_SZ_ACTTAB];\n";
  gh += "extern const short yy_shift_ofst[YYNSTATE];\n";
  gh += "extern const short yy_reduce_ofst[YYNSTATE];\n";
  gh += "extern const unsigned short yy_default[YYNSTATE];\n";
  gh += "extern const unsigned char yyFallback[YYNTERMINAL];\n";
  gh += "extern const yyRuleInfoEntry yyRuleInfo[YYNRULE];\n";
  gh += "extern const char *const yyTokenName[YYNSYMBOL];\n";
  gh += "extern const char *const yyRuleName[YYNRULE];\n\n";
  gh +=
      "/* Runs the action of rule yyruleno; yymsp is the top of the stack, the\n"
      "** new value goes to *yylhs.  Values on the stack without an alias in the\n"
      "** rule are destroyed. */\n";
  gh += "void yy_reduce_action(int yyruleno, yyStackEntry *yymsp, YYMINORTYPE *yylhs, " +
        g.extraArg + ");\n";
  gh += "/* Destroys a value of symbol yymajor that is discarded. */\n";
  gh += "void yy_destructor(int yymajor, YYMINORTYPE *yypminor);\n\n#endif\n";
  writeFile(outDir + "/parse_gen.h", gh);

  // ---------------------------------------------------------------- parse_gen.cpp
  std::string c =
      "/* Parse tables and actions of the SQL grammar.  Generated by lalrgen from parse.y. */\n";
  c += "#include \"parse_gen.h\"\n\n";
  c += g.include + "\n\n";
  std::vector<int> la(p.lookahead.begin(), p.lookahead.end());
  c += "const unsigned short yy_action[YY_SZ_ACTTAB] = {\n  " + numbers(p.action) + "\n};\n";
  c += "const unsigned char yy_lookahead[YY_SZ_ACTTAB] = {\n  " + numbers(la) + "\n};\n";
  c += "const short yy_shift_ofst[YYNSTATE] = {\n  " + numbers(p.shiftOfst) + "\n};\n";
  c += "const short yy_reduce_ofst[YYNSTATE] = {\n  " + numbers(p.reduceOfst) + "\n};\n";
  std::vector<int> dflt(nState);
  for (int s = 0; s < nState; s++) dflt[s] = encode(t.dflt[s]);
  c += "const unsigned short yy_default[YYNSTATE] = {\n  " + numbers(dflt) + "\n};\n";
  std::vector<int> fb(g.nTerminal);
  for (int i = 0; i < g.nTerminal; i++) fb[i] = g.syms[i].fallback;
  c += "const unsigned char yyFallback[YYNTERMINAL] = {\n  " + numbers(fb) + "\n};\n";
  c += "const yyRuleInfoEntry yyRuleInfo[YYNRULE] = {\n";
  for (auto &r : g.rules) {
    c += "  {" + std::to_string(r.lhs) + ", " + std::to_string(r.rhs.size()) + "},\n";
  }
  c += "};\nconst char *const yyTokenName[YYNSYMBOL] = {\n";
  for (auto &s : g.syms) c += "  " + cString(s.name) + ",\n";
  c += "};\nconst char *const yyRuleName[YYNRULE] = {\n";
  for (auto &r : g.rules) c += "  " + cString(ruleText(g, r)) + ",\n";
  c += "};\n\n";
  c += "void yy_destructor(int yymajor, YYMINORTYPE *yypminor) {\n  switch (yymajor) {\n";
  for (size_t i = 0; i < g.syms.size(); i++) {
    const Symbol &s = g.syms[i];
    if (s.destructor.empty()) continue;
    std::string code = s.destructor;
    std::string member = "(yypminor->yy" + std::to_string(s.unionIdx) + ")";
    for (size_t k; (k = code.find("$$")) != std::string::npos;) code.replace(k, 2, member);
    c += "    case " + std::to_string(i) + ": /* " + s.name + " */ {" + code + "} break;\n";
  }
  c += "    default: (void)yypminor; break;\n  }\n}\n\n";
  std::string extraName = g.extraArg;
  c += "void yy_reduce_action(int yyruleno, yyStackEntry *yymsp, YYMINORTYPE *yylhs, " +
       g.extraArg + ") {\n";
  c += "  (void)yymsp;\n  (void)yylhs;\n  (void)pParse;\n  switch (yyruleno) {\n";
  for (auto &r : g.rules) {
    c += "    case " + std::to_string(r.index) + ": /* " + ruleText(g, r) + " */\n    {\n";
    if (!r.code.empty()) {
      c += translateAction(g, r) + "\n";
    }
    int n = (int)r.rhs.size();
    for (int k = 0; k < n; k++) {
      const Symbol &s = g.syms[r.rhs[k]];
      if (r.rhsAlias[k].empty() && !s.destructor.empty()) {
        c += "      yy_destructor(" + std::to_string(r.rhs[k]) + ", &yymsp[" +
             std::to_string(k - (n - 1)) + "].minor);\n";
      }
    }
    c += "    } break;\n";
  }
  c += "  }\n}\n";
  writeFile(outDir + "/parse_gen.cpp", c);

  printf(
      "lalrgen: %d terminals, %d nonterminals, %d rules, %d states, %zu action-table entries; "
      "%d conflicts resolved by precedence, %d unresolved\n",
      g.nTerminal, nSym - g.nTerminal - 1, nRule, nState, p.action.size(), t.resolved,
      t.unresolved);
  if (t.unresolved || dead) return 1;
  return 0;
}

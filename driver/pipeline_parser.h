// The pipeline text parser of the pipe command.
//
// Turns the text of a pipeline into plain data: the global options, the
// stages with their commands, operands and input selections, and the stream
// connections between them. It builds no pipeline set, opens nothing and
// prints nothing; a refused text comes back as a numbered message with its
// arguments, for the caller to issue. Pure functions: any thread may call them.
//
// Choices the syntax leaves open, made here once:
// - Blanks are spaces, tabs and line ends.
// - The escape character protects a character from splitting only; after the
//   split a stage's text is plain text (an escaped trailing blank is trimmed).
// - Option keywords, selection keywords, command words and grammar names are
//   read in any case; labels are case-sensitive.
// - The n-th reference of a label is stream n on both sides, whether or not
//   the streams below n are connected, so a stream number never depends on
//   which neighbours an earlier reference happened to have.
// - Messages name a stage by its position in the written pipe, label
//   references included; option messages name pipe 0, with the NAME given
//   so far in the group.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "messages/message_arg.h"

namespace ductrine {

// A refused input: the 1000-series message number and the values for its
// text, in the order the text takes them.
struct ParseError {
  ParseError() = default;
  ParseError(std::uint32_t number, MessageArgs args, std::string continuation = {})
      : number(number), args(std::move(args)), continuation(std::move(continuation)) {}

  std::uint32_t number = 0;
  MessageArgs args;
  // More lines after the catalogue text, already begun with the line feed and
  // 20 blanks of a continuation; empty for most refusals.
  std::string continuation;
};

// A stage command known to the driver. `names` lists every command word that
// selects the type, `typeName` first; unused slots are empty.
struct StageCommand {
  std::string_view typeName;
  std::array<std::string_view, 3> names;
  bool module = false;  // loaded from a stage module; otherwise built into the driver
};

// Every stage type of the driver, in a fixed order; a position in this list
// is a stage's type index.
std::span<const StageCommand> StageCommands();

// The type index of a command word (compared without regard to case), or
// nothing for a word that names no stage type.
std::optional<std::uint32_t> FindStageCommand(std::string_view word);

// A command word that names none of the driver's types may name a stage
// module of its own: the module file is the word in lower case with the
// system's suffix. Such a word has letters, digits, "_" and "-" only, so it
// can never name a file in another folder.
bool IsModuleCommandWord(std::string_view word);

// Asked by the parser for a module command word: true when a module of that
// name is there to load. The pipe command asks its module folders; an empty
// test means that no module command exists.
using ModuleCommandTest = std::function<bool(std::string_view word)>;

// The type index of a stage whose command names a stage module of its own.
inline constexpr std::uint32_t kModuleCommandType = 0xFFFFFFFFu;

// The text that names a pipe in "Pipe(%s)": the index, then "," and the name
// when the pipe has one.
std::string PipeText(std::uint32_t pipe, std::string_view name);

// An input selection as written in "[...]". `separators` applies to the
// words or fields mode and holds its default when SEP is not given.
struct SelectionSpec {
  bool active = false;
  bool words = false;
  bool fields = false;
  std::int32_t from = 0;
  std::int32_t to = 0;
  std::string separators;
  bool upper = false;
  bool reverse = false;
  std::string text;  // the group as written, brackets included, for messages
};

// One real stage; a label reference is not a stage.
struct StageSpec {
  std::string label;        // without its colon; empty when the stage has none
  std::string command;      // as written
  // Into StageCommands(), or kModuleCommandType for a module command.
  std::uint32_t typeIndex = 0;
  // The canonical type name: the type's command name, or a module
  // command's word in upper case.
  std::string typeName;
  std::string operands;
  SelectionSpec selection;
  std::uint32_t pipe = 0;         // pipe index
  std::uint32_t stageInPipe = 0;  // stage index within the pipe's real stages
  std::uint32_t textStage = 0;    // position among the pipe's stages as written
  // Stream entries the stage needs: one more than the highest stream number
  // connected. Numbers below it that no connection uses stay unconnected.
  std::uint32_t inputStreams = 0;
  std::uint32_t outputStreams = 0;
};

// Output stream `fromStream` of stage `fromStage` feeds input stream
// `toStream` of stage `toStage`; stages are indices into ParsedPipeline::stages.
struct Connection {
  std::uint32_t fromStage = 0;
  std::uint32_t fromStream = 0;
  std::uint32_t toStage = 0;
  std::uint32_t toStream = 0;
};

struct ParsedPipeline {
  // Global options. MONITOR, PRIORITY and REGEX are kept but have no effect.
  std::optional<char> endChar;
  char stageSep = '|';
  std::optional<char> escapeChar;
  std::string name;  // every pipe's name
  bool trace = false;
  bool monitor = false;
  std::optional<std::int32_t> priority;
  std::string regex;        // a grammar name in its canonical spelling, or empty
  std::string optionsText;  // the options group as written, or empty

  std::vector<std::vector<std::uint32_t>> pipes;  // per pipe: indices into stages
  std::vector<StageSpec> stages;                  // pipe by pipe, in text order
  std::vector<Connection> connections;
  std::vector<std::string> sourceLines;  // each pipe's text as written, trimmed
};

// Parses a whole pipeline text: options group, pipes, stages, labels and
// selections. Either the parsed pipeline or the first error found, reading
// from left to right. A command that names no type of the driver is a
// module command when `moduleCommand` finds its module, else message 1007.
std::variant<ParsedPipeline, ParseError> ParsePipeline(std::string_view text,
                                                       const ModuleCommandTest& moduleCommand = {});

}  // namespace ductrine

#pragma once

#include <map>
#include <string>
#include <vector>

// Strict readers of tavrin-check's machine forms, so that a test fails on
// anything a real consumer would reject. Each throws std::runtime_error
// naming where the text stops following its format.

struct JsonValue {
	enum class Kind { null, boolean, number, string, array, object };
	Kind kind = Kind::null;
	bool boolean = false;
	double number = 0;
	std::string string;
	std::vector<JsonValue> array;
	// An object's members in document order, keys[i] naming members[i]; a
	// key given twice is an error.
	std::vector<std::string> keys;
	std::vector<JsonValue> members;

	// The member `key` of an object; throws if there is none.
	const JsonValue &at(const std::string &key) const;
};

// RFC 8259, with strings required to be valid UTF-8 once unescaped.
JsonValue parse_json(const std::string &text);

struct Sample {
	std::string metric;
	std::map<std::string, std::string> labels;
	double value;
};

// Prometheus's text exposition format: every sample belongs to a metric that
// a TYPE line declared before it (or is a summary's or histogram's _sum,
// _count or _bucket), no metric is declared twice, and no two samples share
// a metric and labels.
std::vector<Sample> parse_exposition(const std::string &text);

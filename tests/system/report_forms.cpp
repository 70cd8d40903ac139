#include "report_forms.h"

#include <cstdlib>
#include <set>
#include <stdexcept>

namespace
{

class JsonReader
{
      public:
	explicit JsonReader(const std::string &text) : text_(text) {}

	JsonValue document()
	{
		JsonValue value = parse_value();
		skip_space();
		if (at_ != text_.size())
			fail("text after the document");
		return value;
	}

      private:
	const std::string &text_;
	std::size_t at_ = 0;

	[[noreturn]] void fail(const std::string &what) const
	{
		throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(at_));
	}

	void skip_space()
	{
		while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
					      text_[at_] == '\n' || text_[at_] == '\r'))
			++at_;
	}

	bool take(const std::string &word)
	{
		if (text_.compare(at_, word.size(), word) != 0)
			return false;
		at_ += word.size();
		return true;
	}

	void expect(char c)
	{
		skip_space();
		if (at_ >= text_.size() || text_[at_] != c)
			fail(std::string("expected '") + c + "'");
		++at_;
	}

	JsonValue parse_value()
	{
		skip_space();
		JsonValue value;
		if (at_ >= text_.size())
			fail("no value");
		const char c = text_[at_];
		if (c == '{') {
			parse_object(value);
		} else if (c == '[') {
			parse_array(value);
		} else if (c == '"') {
			value.kind = JsonValue::Kind::string;
			value.string = parse_string();
		} else if (take("true") || take("false")) {
			value.kind = JsonValue::Kind::boolean;
			value.boolean = c == 't';
		} else if (take("null")) {
			value.kind = JsonValue::Kind::null;
		} else {
			value.kind = JsonValue::Kind::number;
			value.number = parse_number();
		}
		return value;
	}

	void parse_object(JsonValue &value)
	{
		value.kind = JsonValue::Kind::object;
		std::set<std::string> keys;
		expect('{');
		skip_space();
		if (take("}"))
			return;
		do {
			skip_space();
			if (at_ >= text_.size() || text_[at_] != '"')
				fail("expected a key");
			std::string key = parse_string();
			if (!keys.insert(key).second)
				fail("key " + key + " given twice");
			expect(':');
			value.keys.push_back(key);
			value.members.push_back(parse_value());
			skip_space();
		} while (take(","));
		expect('}');
	}

	void parse_array(JsonValue &value)
	{
		value.kind = JsonValue::Kind::array;
		expect('[');
		skip_space();
		if (take("]"))
			return;
		do
			value.array.push_back(parse_value());
		while ((skip_space(), take(",")));
		expect(']');
	}

	double parse_number()
	{
		const std::size_t start = at_;
		auto digits = [&] {
			const std::size_t from = at_;
			while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9')
				++at_;
			if (at_ == from)
				fail("expected a digit");
		};
		take("-");
		if (!take("0"))
			digits();
		if (take("."))
			digits();
		if (take("e") || take("E")) {
			if (!take("+"))
				take("-");
			digits();
		}
		return std::strtod(text_.substr(start, at_ - start).c_str(), nullptr);
	}

	unsigned parse_hex4()
	{
		if (at_ + 4 > text_.size())
			fail("short \\u escape");
		unsigned code = 0;
		for (int i = 0; i < 4; ++i) {
			const char c = text_[at_++];
			const unsigned digit = c >= '0' && c <= '9'   ? unsigned(c - '0')
					       : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
					       : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
								      : 16;
			if (digit == 16)
				fail("bad \\u escape");
			code = code * 16 + digit;
		}
		return code;
	}

	static void append_utf8(std::string &out, unsigned code)
	{
		if (code < 0x80) {
			out += char(code);
		} else if (code < 0x800) {
			out += char(0xc0 | code >> 6);
			out += char(0x80 | (code & 0x3f));
		} else if (code < 0x10000) {
			out += char(0xe0 | code >> 12);
			out += char(0x80 | (code >> 6 & 0x3f));
			out += char(0x80 | (code & 0x3f));
		} else {
			out += char(0xf0 | code >> 18);
			out += char(0x80 | (code >> 12 & 0x3f));
			out += char(0x80 | (code >> 6 & 0x3f));
			out += char(0x80 | (code & 0x3f));
		}
	}

	// One raw UTF-8 sequence, checked as a decoder would check it.
	void copy_utf8(std::string &out)
	{
		const auto lead = static_cast<unsigned char>(text_[at_]);
		const int length = lead < 0x80		   ? 1
				   : (lead & 0xe0) == 0xc0 ? 2
				   : (lead & 0xf0) == 0xe0 ? 3
				   : (lead & 0xf8) == 0xf0 ? 4
							   : 0;
		if (length == 0 || at_ + length > text_.size())
			fail("invalid UTF-8");
		unsigned code = length == 1 ? lead : lead & (0x7f >> length);
		for (int i = 1; i < length; ++i) {
			const auto next = static_cast<unsigned char>(text_[at_ + i]);
			if ((next & 0xc0) != 0x80)
				fail("invalid UTF-8");
			code = code << 6 | (next & 0x3f);
		}
		static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
		if (code < least[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
			fail("invalid UTF-8");
		out.append(text_, at_, length);
		at_ += length;
	}

	std::string parse_string()
	{
		std::string out;
		++at_;
		for (;;) {
			if (at_ >= text_.size())
				fail("unterminated string");
			const auto c = static_cast<unsigned char>(text_[at_]);
			if (c == '"') {
				++at_;
				return out;
			}
			if (c < 0x20)
				fail("control character in a string");
			if (c != '\\') {
				copy_utf8(out);
				continue;
			}
			++at_;
			if (at_ >= text_.size())
				fail("unterminated escape");
			const char e = text_[at_++];
			static const std::string simple = "\"\\/bfnrt";
			static const std::string meaning = "\"\\/\b\f\n\r\t";
			if (simple.find(e) != std::string::npos) {
				out += meaning[simple.find(e)];
				continue;
			}
			if (e != 'u')
				fail("unknown escape");
			unsigned code = parse_hex4();
			if (code >= 0xd800 && code <= 0xdbff) {
				if (!take("\\u"))
					fail("lone surrogate");
				const unsigned low = parse_hex4();
				if (low < 0xdc00 || low > 0xdfff)
					fail("lone surrogate");
				code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
			} else if (code >= 0xdc00 && code <= 0xdfff) {
				fail("lone surrogate");
			}
			append_utf8(out, code);
		}
	}
};

bool is_name_start(char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

bool is_name_char(char c)
{
	return is_name_start(c) || (c >= '0' && c <= '9');
}

std::string take_name(const std::string &line, std::size_t &at, bool label)
{
	const std::size_t start = at;
	if (at >= line.size() || !is_name_start(line[at]) || (label && line[at] == ':'))
		throw std::runtime_error("exposition: no name in: " + line);
	while (at < line.size() && is_name_char(line[at]) && !(label && line[at] == ':'))
		++at;
	return line.substr(start, at - start);
}

std::string take_label_value(const std::string &line, std::size_t &at)
{
	if (at >= line.size() || line[at] != '"')
		throw std::runtime_error("exposition: label value not quoted: " + line);
	std::string value;
	for (++at; at < line.size() && line[at] != '"'; ++at) {
		if (line[at] != '\\') {
			value += line[at];
			continue;
		}
		if (++at >= line.size())
			break;
		if (line[at] == 'n')
			value += '\n';
		else if (line[at] == '\\' || line[at] == '"')
			value += line[at];
		else
			throw std::runtime_error("exposition: unknown escape in: " + line);
	}
	if (at >= line.size())
		throw std::runtime_error("exposition: unterminated label value: " + line);
	++at;
	return value;
}

Sample parse_sample(const std::string &line)
{
	Sample sample;
	std::size_t at = 0;
	sample.metric = take_name(line, at, false);
	if (at < line.size() && line[at] == '{') {
		++at;
		while (at < line.size() && line[at] != '}') {
			const std::string label = take_name(line, at, true);
			if (at >= line.size() || line[at++] != '=')
				throw std::runtime_error("exposition: no '=' after a label: " +
							 line);
			if (!sample.labels.emplace(label, take_label_value(line, at)).second)
				throw std::runtime_error("exposition: label given twice: " + line);
			if (at < line.size() && line[at] == ',')
				++at;
		}
		if (at >= line.size())
			throw std::runtime_error("exposition: unterminated labels: " + line);
		++at;
	}
	if (at >= line.size() || line[at] != ' ')
		throw std::runtime_error("exposition: no value: " + line);
	const std::string rest = line.substr(at + 1);
	char *end = nullptr;
	sample.value = std::strtod(rest.c_str(), &end);
	// A timestamp may follow the value; the textfile collector refuses one.
	if (end == rest.c_str() || *end != '\0')
		throw std::runtime_error("exposition: value is not one number: " + line);
	return sample;
}

// The family a sample belongs to: itself, or a summary's or histogram's.
std::string family_of(const std::string &metric, const std::map<std::string, std::string> &types)
{
	if (types.count(metric) != 0)
		return metric;
	for (const std::string suffix : {"_sum", "_count", "_bucket"}) {
		if (metric.size() <= suffix.size() ||
		    metric.compare(metric.size() - suffix.size(), suffix.size(), suffix) != 0)
			continue;
		const std::string base = metric.substr(0, metric.size() - suffix.size());
		const auto type = types.find(base);
		if (type != types.end() &&
		    (type->second == "summary" || type->second == "histogram"))
			return base;
	}
	throw std::runtime_error("exposition: sample of an undeclared metric: " + metric);
}

} // namespace

const JsonValue &JsonValue::at(const std::string &key) const
{
	for (std::size_t i = 0; i < keys.size(); ++i)
		if (keys[i] == key)
			return members[i];
	throw std::runtime_error("JSON: no member " + key);
}

JsonValue parse_json(const std::string &text)
{
	return JsonReader(text).document();
}

std::vector<Sample> parse_exposition(const std::string &text)
{
	static const std::set<std::string> known_types = {"counter", "gauge", "histogram",
							  "summary", "untyped"};
	std::map<std::string, std::string> types;
	std::set<std::pair<std::string, std::map<std::string, std::string>>> series;
	std::vector<Sample> samples;
	std::size_t start = 0;
	while (start < text.size()) {
		const std::size_t end = text.find('\n', start);
		if (end == std::string::npos)
			throw std::runtime_error("exposition: last line has no newline");
		const std::string line = text.substr(start, end - start);
		start = end + 1;
		if (line.rfind("# TYPE ", 0) == 0) {
			std::size_t at = 7;
			const std::string metric = take_name(line, at, false);
			const std::string type = at < line.size() ? line.substr(at + 1) : "";
			if (known_types.count(type) == 0 || !types.emplace(metric, type).second)
				throw std::runtime_error("exposition: bad or repeated TYPE: " +
							 line);
			continue;
		}
		if (line.empty() || line[0] == '#')
			continue;
		Sample sample = parse_sample(line);
		family_of(sample.metric, types);
		if (!series.emplace(sample.metric, sample.labels).second)
			throw std::runtime_error("exposition: series given twice: " + line);
		samples.push_back(std::move(sample));
	}
	return samples;
}

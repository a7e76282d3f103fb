// The conversion as the Rust csv crate (the engine of xsv and qsv) does it:
// read each record as bytes, write it with '|' between fields, CR LF after
// it and no quoting.
// Usage: rust_csv_peer INPUT OUTPUT
use std::{env, fs::File, io::BufWriter, process};

fn main() {
    let args: Vec<String> = env::args().collect();
    if args.len() != 3 {
        eprintln!("usage: rust_csv_peer INPUT OUTPUT");
        process::exit(2);
    }
    let mut reader = csv::ReaderBuilder::new()
        .has_headers(false)
        .flexible(true)
        .from_reader(File::open(&args[1]).expect("cannot open the input"));
    let mut writer = csv::WriterBuilder::new()
        .flexible(true)
        .delimiter(b'|')
        .terminator(csv::Terminator::CRLF)
        .quote_style(csv::QuoteStyle::Never)
        .from_writer(BufWriter::with_capacity(1 << 17, File::create(&args[2]).expect("cannot create the output")));
    let mut record = csv::ByteRecord::new();
    while reader.read_byte_record(&mut record).expect("cannot read the input") {
        writer.write_byte_record(&record).expect("cannot write the output");
    }
    writer.flush().expect("cannot write the output");
}

#!/usr/bin/env python3
"""Reference numbers for the prompt conventions (emphasis, chunks, BREAK, clip skip,
textual-inversion embeddings), from transformers' CLIP and diffusers' pipelines.

Writes two tiny model directories under tests/nn/fixtures/ with the vocabulary of single
characters the other fixtures use, text encoders of 77 positions, and a fixture file per
directory with what the reference computes for each case:

    PromptConventions/     SD 1.5 layout: TextEncoder (3 layers, so clip skip 2 differs
                           from 1), Unet (text width 32), VAEDecoder, and the embedding
                           embeddings/frobnik.safetensors ("emb_params", 2 vectors)
    PromptConventionsXL/   SDXL text side: TextEncoder, TextEncoder2 (projected), and
                           embeddings/frobnik.safetensors ("clip_l", "clip_g", 2 vectors each)

For the SD case the prompt embeddings built here by the rules below go into diffusers'
StableDiffusionPipeline as prompt_embeds / negative_prompt_embeds (PNDM, 4 steps, the
starting noise of NumPy's legacy generator), and the 8-bit image it returns is written
beside the embeddings. The XL cases write the joined hidden states and pooled outputs.

The rules, as the engine applies them: emphasis brackets weight runs of text; each run is
tokenized alone; tokens are packed into chunks of 75 (a full chunk passes the tokens after
a comma among its last 20 on to the next; BREAK closes a chunk); each chunk is start +
tokens + end + padding, encoded alone (clip skip N: the final layer norm of hidden state
-N; SDXL: the state entering the last layer), multiplied by its weights and rescaled to
its unweighted mean; chunks are joined along the sequence, and the shorter of prompt and
negative prompt gets encoded empty chunks.

    .venv/bin/python tools/reference/prompt_reference.py [--out tests/nn/fixtures]
"""

import argparse
import json
import pathlib
import re
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import nn_reference as nn  # noqa: E402  (sets the single-thread environment first)

import numpy as np  # noqa: E402
import torch  # noqa: E402
from safetensors.torch import save_file  # noqa: E402

LENGTH = 77
CHUNK = 75
BACKTRACK = 20
SEED = 1234
STEPS = 4

# Prompts of the SD cases: name → (prompt, negative prompt, syntax, clip skip).
LONG = ", ".join(f"word{'abcdefghij'[i % 10]}" for i in range(26)) + ", end of it"
SD_CASES = {
    "plain": ("a photo of a cat", "dog", "emphasis", 1),
    "nested": ("a ((cat)) on [[a mat]] (((now)))", "", "emphasis", 1),
    "weights": ("a (cat:0.5) and a (dog:1.8)", "blurry", "emphasis", 1),
    "escaped": ("\\(cat\\) a\\[b\\] (unbalanced [open", "ugly)", "emphasis", 1),
    "long": (LONG, "dog", "emphasis", 1),
    "break": ("a cat BREAK on a (mat:1.2)", "", "emphasis", 1),
    "negativelonger": ("cat", "a BREAK b BREAK c", "emphasis", 1),
    "clipskip": ("a photo of a (cat:1.3)", "dog", "emphasis", 2),
    "embedding": ("a frobnik cat, (frobnik:1.4) hat", "frobnik", "emphasis", 1),
    "noemphasis": ("a (cat:1.5) BREAK [dog] frobnik", "", "chunked", 1),
}
XL_CASES = {
    "plain": ("a photo of a cat", "dog", "emphasis"),
    "long": (LONG + " (more:1.3)", "[dog]", "emphasis"),
    "embedding": ("a frobnik cat BREAK (frobnik:0.7)", "", "emphasis"),
}


# The rules ----------------------------------------------------------------------------

ATTENTION = re.compile(r"""
\\[()\[\]\\]        # an escaped bracket or backslash
| \\                # a backslash before anything else
| \(  | \[
| :\s*([+-]?[.\d]+)\s*\)   # a weight closing the innermost round bracket
| \)  | \]
| [^\\()\[\]:]+     # plain text
| :
""", re.X)
BREAK_WORD = re.compile(r"\s*\bBREAK\b\s*")


def parse_emphasis(text):
    """[(text, weight)], with ("BREAK", None) for chunk breaks."""
    runs = []
    round_open, square_open = [], []

    def scale(start, factor):
        for run in runs[start:]:
            if run[1] is not None:
                run[1] *= factor

    for match in ATTENTION.finditer(text):
        piece, weight = match.group(0), match.group(1)
        if piece.startswith("\\"):
            runs.append([piece[1:], 1.0])
        elif piece == "(":
            round_open.append(len(runs))
        elif piece == "[":
            square_open.append(len(runs))
        elif weight is not None and round_open:
            scale(round_open.pop(), float(weight))
        elif piece == ")" and round_open:
            scale(round_open.pop(), 1.1)
        elif piece == "]" and square_open:
            scale(square_open.pop(), 1 / 1.1)
        else:
            for index, part in enumerate(BREAK_WORD.split(piece)):
                if index:
                    runs.append(["BREAK", None])
                runs.append([part, 1.0])
    for start in round_open:
        scale(start, 1.1)
    for start in square_open:
        scale(start, 1 / 1.1)
    if not runs:
        runs = [["", 1.0]]
    joined = []
    for run in runs:
        if joined and run[1] is not None and joined[-1][1] == run[1]:
            joined[-1][0] += run[0]
        else:
            joined.append(list(run))
    return joined


def tokens_of(tokenizer, text):
    return tokenizer(text, add_special_tokens=False)["input_ids"]


def make_chunks(tokenizer, prompt, syntax, embeddings):
    """[(token ids or None for an embedding vector, weights, [(position, vectors)])]."""
    runs = parse_emphasis(prompt) if syntax == "emphasis" else [[prompt, 1.0]]
    words = sorted(((tokens_of(tokenizer, name), vectors) for name, vectors in embeddings.items()),
                   key=lambda word: -len(word[0]))
    comma = tokenizer.convert_tokens_to_ids(",</w>")
    chunks = []
    state = {"ids": [], "weights": [], "uses": [], "comma": -1}

    def close():
        chunks.append((state["ids"], state["weights"], state["uses"]))
        state.update(ids=[], weights=[], uses=[], comma=-1)

    def backtrack_if_full():
        if (len(state["ids"]) == CHUNK and state["comma"] != -1
                and CHUNK - state["comma"] <= BACKTRACK):
            cut = state["comma"] + 1
            tail = (state["ids"][cut:], state["weights"][cut:],
                    [(p - cut, v) for p, v in state["uses"] if p >= cut])
            state["ids"], state["weights"] = state["ids"][:cut], state["weights"][:cut]
            state["uses"] = [(p, v) for p, v in state["uses"] if p < cut]
            close()
            state["ids"], state["weights"], state["uses"] = list(tail[0]), list(tail[1]), tail[2]

    for text, weight in runs:
        if weight is None:
            close()
            continue
        ids = tokens_of(tokenizer, text)
        position = 0
        while position < len(ids):
            word = next((w for w in words if ids[position:position + len(w[0])] == w[0]), None)
            if word is None and ids[position] == comma:
                state["comma"] = len(state["ids"])
            else:
                backtrack_if_full()
            if word is None:
                if len(state["ids"]) == CHUNK:
                    close()
                state["ids"].append(ids[position])
                state["weights"].append(weight)
                position += 1
                continue
            vectors = word[1]
            if len(state["ids"]) + len(vectors) > CHUNK:
                close()
            state["uses"].append((len(state["ids"]), vectors))
            state["ids"] += [None] * len(vectors)
            state["weights"] += [weight] * len(vectors)
            position += len(word[0])
    if state["ids"] or not chunks:
        close()
    return chunks


def encode_chunk(model, tokenizer, chunk, clip_skip, xl):
    ids, weights, uses = chunk
    pad = tokenizer.pad_token_id
    full = ([tokenizer.bos_token_id] + [0 if i is None else i for i in ids]
            + [tokenizer.eos_token_id])
    full += [pad] * (LENGTH - len(full))
    full_weights = torch.tensor([1.0] + list(weights) + [1.0] * (LENGTH - 1 - len(weights)))

    def replace(_module, _inputs, output):
        output = output.clone()
        for position, vectors in uses:
            output[0, position + 1:position + 1 + len(vectors)] = vectors
        return output

    hook = model.text_model.embeddings.token_embedding.register_forward_hook(replace)
    try:
        with torch.no_grad():
            result = model(input_ids=torch.tensor([full]), output_hidden_states=True)
    finally:
        hook.remove()
    if xl:
        z = result.hidden_states[-2]
    elif clip_skip == 1:
        z = result.last_hidden_state
    else:
        with torch.no_grad():
            z = model.text_model.final_layer_norm(result.hidden_states[-clip_skip])
    pooled = getattr(result, "text_embeds", None)
    weighted = z * full_weights.to(torch.float32)[None, :, None]
    before, after = z.double().sum(), weighted.double().sum()
    if bool(full_weights.ne(1.0).any()) and float(after) != 0.0:
        weighted = weighted * torch.tensor(float(before / after), dtype=torch.float32)
    return weighted, pooled


def encode_prompt(model, tokenizer, prompt, syntax, embeddings, clip_skip=1, xl=False):
    """([1, 77·k, C], pooled output of the first chunk)."""
    if syntax == "plain":
        raise ValueError("the plain reading tokenizes the text as it stands and is not covered here")
    parts, pooled = [], None
    for chunk in make_chunks(tokenizer, prompt, syntax, embeddings):
        z, chunk_pooled = encode_chunk(model, tokenizer, chunk, clip_skip, xl)
        pooled = chunk_pooled if pooled is None else pooled
        parts.append(z)
    return torch.cat(parts, dim=1), pooled


def match_chunks(first, second, empty):
    while first.shape[1] < second.shape[1]:
        first = torch.cat([first, empty], dim=1)
    while second.shape[1] < first.shape[1]:
        second = torch.cat([second, empty], dim=1)
    return first, second


# Models -------------------------------------------------------------------------------


def write_tokenizer_files(folder):
    vocabulary = {}
    for code in range(ord("!"), ord("~") + 1):
        vocabulary[chr(code)] = len(vocabulary)
        vocabulary[chr(code) + "</w>"] = len(vocabulary)
    vocabulary["<|startoftext|>"] = len(vocabulary)
    vocabulary["<|endoftext|>"] = len(vocabulary)
    (folder / "vocab.json").write_text(json.dumps(vocabulary))
    (folder / "merges.txt").write_text("#version: 0.2\n")
    return len(vocabulary)


def clip_model(folder, bundle, projected, overrides, seed):
    from transformers import CLIPTextModel, CLIPTextModelWithProjection

    model = (CLIPTextModelWithProjection if projected else CLIPTextModel)(
        nn.clip_text_config(overrides)).eval()
    nn.randomize(model, seed)
    nn.round_to(model, "F16")
    hub_config = json.loads(model.config.to_json_string(use_diff=True))
    hub_config["architectures"] = [type(model).__name__]
    nn.save_bundle(folder / f"{bundle}.model", hub_config, model.state_dict(), "F16")
    return model


def tokenizer_for(folder, pad):
    from transformers import CLIPTokenizer

    return CLIPTokenizer(str(folder / "vocab.json"), str(folder / "merges.txt"),
                         pad_token=pad, model_max_length=LENGTH)


def embedding_vectors(shape, seed):
    generator = torch.Generator().manual_seed(seed)
    return (0.5 * torch.randn(shape, generator=generator)).to(torch.float16).to(torch.float32)


def write_sd(out):
    from diffusers import AutoencoderKL, PNDMScheduler, StableDiffusionPipeline, UNet2DConditionModel

    folder = out / "PromptConventions"
    folder.mkdir(parents=True, exist_ok=True)
    size = write_tokenizer_files(folder)
    tiny = dict(vocab_size=size, hidden_size=32, intermediate_size=64, num_hidden_layers=3,
                num_attention_heads=4, max_position_embeddings=LENGTH, bos_token_id=size - 2,
                eos_token_id=size - 1, pad_token_id=size - 1)
    text_encoder = clip_model(folder, "TextEncoder", False, tiny, seed=51)
    tokenizer = tokenizer_for(folder, "<|endoftext|>")

    unet = UNet2DConditionModel(block_out_channels=[8, 16], layers_per_block=1,
                                attention_head_dim=2, cross_attention_dim=32, norm_num_groups=4,
                                sample_size=8, down_block_types=["CrossAttnDownBlock2D", "DownBlock2D"],
                                up_block_types=["UpBlock2D", "CrossAttnUpBlock2D"]).eval()
    nn.randomize(unet, 52)
    nn.round_to(unet, "F16")
    nn.save_bundle(folder / "Unet.model", nn.hub_vae_config(unet), unet.state_dict(), "F16")
    vae = nn.autoencoder(dict(block_out_channels=[8, 16], norm_num_groups=4,
                              down_block_types=["DownEncoderBlock2D"] * 2,
                              up_block_types=["UpDecoderBlock2D"] * 2, sample_size=16), 53)
    nn.round_to(vae, "F16")
    decoder_state = nn.half_of(vae.state_dict(), ("decoder.", "post_quant_conv."))
    nn.save_bundle(folder / "VAEDecoder.model", nn.hub_vae_config(vae), decoder_state, "F16")

    vectors = embedding_vectors((2, 32), 54)
    (folder / "embeddings").mkdir(exist_ok=True)
    save_file({"emb_params": vectors.to(torch.float16)},
              str(folder / "embeddings" / "frobnik.safetensors"))
    embeddings = {"frobnik": vectors}

    scheduler = PNDMScheduler(beta_start=0.00085, beta_end=0.012, beta_schedule="scaled_linear",
                              num_train_timesteps=1000, skip_prk_steps=True,
                              set_alpha_to_one=False, steps_offset=1)
    pipeline = StableDiffusionPipeline(vae=vae, text_encoder=text_encoder, tokenizer=tokenizer,
                                       unet=unet, scheduler=scheduler, safety_checker=None,
                                       feature_extractor=None, requires_safety_checker=False)
    pipeline.set_progress_bar_config(disable=True)
    fixture = {}
    for name, (prompt, negative, syntax, clip_skip) in SD_CASES.items():
        used = embeddings if syntax != "plain" else {}
        positive, _ = encode_prompt(text_encoder, tokenizer, prompt, syntax, used, clip_skip)
        negative_embeds, _ = encode_prompt(text_encoder, tokenizer, negative, syntax, used,
                                           clip_skip)
        empty, _ = encode_prompt(text_encoder, tokenizer, "", syntax, used, clip_skip)
        positive, negative_embeds = match_chunks(positive, negative_embeds, empty)
        latents = torch.from_numpy(
            np.random.RandomState(SEED).standard_normal((1, 4, 8, 8))).to(torch.float32)
        with torch.no_grad():
            image = pipeline(prompt_embeds=positive, negative_prompt_embeds=negative_embeds,
                             num_inference_steps=STEPS, guidance_scale=7.5, latents=latents,
                             output_type="np").images[0]
        fixture[f"{name}.hidden_states"] = torch.cat([negative_embeds, positive])
        fixture[f"{name}.image"] = torch.from_numpy((image * 255).round().astype(np.float32))
        print(f"{name}: {positive.shape[1] // LENGTH} chunk(s)")
    nn.save_fixture(out / "PromptConventions.fixture.safetensors", fixture)


def write_xl(out):
    folder = out / "PromptConventionsXL"
    folder.mkdir(parents=True, exist_ok=True)
    size = write_tokenizer_files(folder)
    tiny = dict(vocab_size=size, hidden_size=32, intermediate_size=64, num_hidden_layers=2,
                num_attention_heads=4, max_position_embeddings=LENGTH, bos_token_id=size - 2,
                eos_token_id=size - 1, pad_token_id=1)
    first = clip_model(folder, "TextEncoder", False, tiny, seed=61)
    second = clip_model(folder, "TextEncoder2", True,
                        dict(tiny, hidden_size=24, num_attention_heads=3, hidden_act="gelu",
                             projection_dim=20), seed=62)
    tokenizer = tokenizer_for(folder, "<|endoftext|>")
    tokenizer_2 = tokenizer_for(folder, "!")
    clip_l, clip_g = embedding_vectors((2, 32), 63), embedding_vectors((2, 24), 64)
    (folder / "embeddings").mkdir(exist_ok=True)
    save_file({"clip_l": clip_l.to(torch.float16), "clip_g": clip_g.to(torch.float16)},
              str(folder / "embeddings" / "frobnik.safetensors"))

    def encode(prompt, syntax):
        h1, _ = encode_prompt(first, tokenizer, prompt, syntax, {"frobnik": clip_l}, xl=True)
        h2, pooled = encode_prompt(second, tokenizer_2, prompt, syntax, {"frobnik": clip_g},
                                   xl=True)
        return torch.cat([h1, h2], dim=2), pooled

    fixture = {}
    for name, (prompt, negative, syntax) in XL_CASES.items():
        positive, pooled = encode(prompt, syntax)
        negative_embeds, negative_pooled = encode(negative, syntax)
        empty, _ = encode("", syntax)
        positive, negative_embeds = match_chunks(positive, negative_embeds, empty)
        fixture[f"{name}.hidden_states"] = torch.cat([negative_embeds, positive])
        fixture[f"{name}.pooled_states"] = torch.cat([negative_pooled, pooled])
        print(f"XL {name}: {positive.shape[1] // LENGTH} chunk(s)")
    nn.save_fixture(out / "PromptConventionsXL.fixture.safetensors", fixture)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=pathlib.Path,
                        default=pathlib.Path(__file__).resolve().parents[2] / "tests/nn/fixtures")
    arguments = parser.parse_args(argv)
    write_sd(arguments.out)
    write_xl(arguments.out)


if __name__ == "__main__":
    main(sys.argv[1:])
